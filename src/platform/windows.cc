// Windows: files by HANDLE, names in UTF-8 above this file and in UTF-16 at
// every file API. Win32 has no openat, so a Directory holds its absolute
// path (with the \\?\ prefix, which lifts the 260-character limit) beside
// an open handle that keeps it from being renamed or removed meanwhile.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which they need.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <winioctl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace discshell::platform {
namespace {

HANDLE handleOf(const File& file) { return reinterpret_cast<HANDLE>(file.handle()); }

File fileOf(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? File() : File(reinterpret_cast<std::intptr_t>(handle));
}

/// No value when `text` is not valid UTF-8.
std::optional<std::wstring> toWide(std::string_view text) {
  if (text.empty()) return std::wstring();
  if (text.size() > INT_MAX) return std::nullopt;
  const int length = static_cast<int>(text.size());
  const int wideLength =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (wideLength <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(),
                        wideLength);
  return wide;
}

std::string toUtf8(std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int length = static_cast<int>(text.size());
  const int narrowLength =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (narrowLength <= 0) return {};
  std::string narrow(static_cast<std::size_t>(narrowLength), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), narrowLength, nullptr,
                        nullptr);
  return narrow;
}

// The errno values the callers compare and print.
ErrorCode errnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    default:
      return EIO;
  }
}

// Absolute, and with the \\?\ prefix once it would pass MAX_PATH: what the
// file API takes for a path the user gave, relative or not.
std::optional<std::wstring> apiPath(const std::string& path) {
  const auto wide = toWide(path);
  if (!wide || wide->empty()) return std::nullopt;
  const DWORD needed = ::GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::nullopt;
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(wide->c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::nullopt;
  full.resize(length);
  if (full.size() < MAX_PATH || full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) {
    return full;
  }
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

File openPath(const std::wstring& path, DWORD access, DWORD share, DWORD flags) {
  return fileOf(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr));
}

// FILETIME ticks (100 ns since 1601) as nanoseconds since 1970, saturated
// where they would not fit: the times are only ever compared.
std::int64_t nanoseconds(const LARGE_INTEGER& ticks) {
  constexpr std::int64_t kUnixEpoch = 116'444'736'000'000'000;
  constexpr std::int64_t kLimit = INT64_MAX / 100;
  return (std::clamp(ticks.QuadPart, kUnixEpoch - kLimit, kUnixEpoch + kLimit) - kUnixEpoch) * 100;
}

FileIdentity identityOf(HANDLE handle) {
  // The 128-bit id where there is one (ReFS needs all of it), else the
  // 64-bit file index.
  FILE_ID_INFO id{};
  if (::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    std::array<std::uint64_t, 2> halves{};
    static_assert(sizeof halves == sizeof id.FileId.Identifier);
    std::memcpy(halves.data(), id.FileId.Identifier, sizeof halves);
    return {id.VolumeSerialNumber, halves[0], halves[1]};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return {};
  return {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// A symbolic link or a junction: a reparse point that stands for another
// name. Other reparse points (cloud placeholders, deduplicated files) are
// the files themselves.
bool isLink(HANDLE handle, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  return ::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
         IsReparseTagNameSurrogate(tag.ReparseTag);
}

// The path of `name` in the directory at `directoryPath`; no value for a
// name that would not stay there or cannot be spelt in UTF-16.
std::optional<std::wstring> childPath(const std::string& directoryPath, std::string_view name) {
  if (!isSafeLocalName(name)) return std::nullopt;
  return toWide(directoryPath + "\\" + std::string(name));
}

// Marks the file to be deleted when its last handle closes, also when the
// process dies, or takes the mark back.
bool markForDeletion(const File& file, bool marked) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = marked ? TRUE : FALSE;
  return ::SetFileInformationByHandle(handleOf(file), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Gives the open file the name `path`, replacing what is there.
bool renameTo(const File& file, const std::wstring& path) {
  const std::size_t pathBytes = path.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + pathBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(pathBytes);
  std::memcpy(rename->FileName, path.data(), pathBytes);
  return ::SetFileInformationByHandle(handleOf(file), FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

// Held while a pending file is made and marked, and while it is unmarked
// and renamed: Ctrl-C then waits, so it never finds a half-made step.
std::mutex pendingFileLock;

std::string temporaryName() {
  static unsigned counter = 0;
  return ".discshell-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++) +
         ".tmp";
}

UINT originalOutputCodePage = 0;
UINT originalInputCodePage = 0;

// Code pages belong to the console, not the process: give them back.
void restoreConsoleCodePages() {
  if (originalOutputCodePage != 0) ::SetConsoleOutputCP(originalOutputCodePage);
  if (originalInputCodePage != 0) ::SetConsoleCP(originalInputCodePage);
}

BOOL WINAPI endOnInterrupt(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  // Never released: the process ends holding it. Pending files are marked
  // for deletion, so ending the process removes them.
  pendingFileLock.lock();
  restoreConsoleCodePages();
  ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

DWORD standardHandleId(StandardStream stream) {
  switch (stream) {
    case StandardStream::kInput:
      return STD_INPUT_HANDLE;
    case StandardStream::kOutput:
      return STD_OUTPUT_HANDLE;
    case StandardStream::kError:
      break;
  }
  return STD_ERROR_HANDLE;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::optional<std::size_t> listingsFailAfter;

}  // namespace

bool isOutOfSpace(ErrorCode code) { return code == ENOSPC; }

std::string errorText(ErrorCode code) {
  std::array<char, 256> text{};
  if (::strerror_s(text.data(), text.size(), code) != 0) return "Unknown error";
  return text.data();
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

std::intptr_t File::release() {
  const std::intptr_t handle = handle_;
  handle_ = kInvalid;
  return handle;
}

bool File::close() {
  if (!valid()) return true;
  const BOOL closed = ::CloseHandle(handleOf(*this));
  handle_ = kInvalid;
  return closed != 0;
}

std::size_t File::readAt(std::int64_t position, std::span<unsigned char> out) const {
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  std::size_t done = 0;
  while (done < out.size() && position >= 0) {
    const auto offset = static_cast<std::uint64_t>(position) + done;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min(out.size() - done, kPiece));
    if (!::ReadFile(handleOf(*this), out.data() + done, want, &got, &at) || got == 0) break;
    done += got;
  }
  return done;
}

bool File::writeAt(std::int64_t position, std::span<const unsigned char> data) {
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  std::size_t done = 0;
  while (done < data.size()) {
    const auto offset = static_cast<std::uint64_t>(position) + done;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD put = 0;
    const auto want = static_cast<DWORD>(std::min(data.size() - done, kPiece));
    if (!::WriteFile(handleOf(*this), data.data() + done, want, &put, &at)) {
      writeError_ = errnoOf(::GetLastError());
      return false;
    }
    if (put == 0) {
      writeError_ = EIO;
      return false;
    }
    done += put;
  }
  return true;
}

std::optional<FileStatus> File::status() const {
  const HANDLE handle = handleOf(*this);
  FileStatus status;
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    status.kind = FileKind::kOther;  // a pipe, a console, a device
    return status;
  }
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
      !::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
    return std::nullopt;
  }
  if (isLink(handle, basic.FileAttributes)) {
    status.kind = FileKind::kSymbolicLink;
  } else {
    status.kind = standard.Directory ? FileKind::kDirectory : FileKind::kRegular;
  }
  status.size = standard.EndOfFile.QuadPart;
  status.identity = identityOf(handle);
  status.modified = nanoseconds(basic.LastWriteTime);
  status.changed = nanoseconds(basic.ChangeTime);
  return status;
}

std::optional<std::int64_t> File::length() const {
  const auto status = this->status();
  if (!status || status->kind != FileKind::kRegular) return std::nullopt;
  return status->size;
}

std::optional<File> openImage(const std::string& path) { return openForReading(path); }

std::optional<File> openForReading(const std::string& path) {
  const auto wide = apiPath(path);
  if (!wide) return std::nullopt;
  File file = openPath(*wide, GENERIC_READ, kShareAll, FILE_ATTRIBUTE_NORMAL);
  if (!file.valid()) return std::nullopt;
  const auto status = file.status();
  if (!status || status->kind != FileKind::kRegular) return std::nullopt;
  return file;
}

std::optional<FileStatus> statPath(const std::string& path) {
  const auto wide = apiPath(path);
  if (!wide) return std::nullopt;
  const File file = openPath(*wide, FILE_READ_ATTRIBUTES, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
  if (!file.valid()) return std::nullopt;
  return file.status();
}

std::optional<Directory> Directory::current() { return open("."); }

std::optional<Directory> Directory::open(const std::string& path) {
  const auto wide = apiPath(path);
  if (!wide) return std::nullopt;
  // Without FILE_SHARE_DELETE: while it is open, nobody renames or removes it.
  File handle = openPath(*wide, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         FILE_FLAG_BACKUP_SEMANTICS);
  if (!handle.valid()) return std::nullopt;
  const auto status = handle.status();
  if (!status || status->kind != FileKind::kDirectory) return std::nullopt;
  // Its real path, links resolved: later names are looked up where it is.
  std::wstring real(MAX_PATH, L'\0');
  DWORD length = ::GetFinalPathNameByHandleW(handleOf(handle), real.data(),
                                             static_cast<DWORD>(real.size()), 0);
  if (length >= real.size()) {
    real.resize(length);
    length = ::GetFinalPathNameByHandleW(handleOf(handle), real.data(),
                                         static_cast<DWORD>(real.size()), 0);
  }
  if (length == 0 || length >= real.size()) return std::nullopt;
  real.resize(length);
  while (real.size() > 1 && real.back() == L'\\') real.pop_back();
  Directory directory(std::move(handle));
  directory.path_ = toUtf8(real);
  return directory;
}

std::optional<Directory> Directory::duplicate() const {
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), handleOf(handle_), ::GetCurrentProcess(), &copy, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
    return std::nullopt;
  }
  Directory directory(fileOf(copy));
  directory.path_ = path_;
  return directory;
}

std::optional<Directory> Directory::enter(std::string_view name, bool create,
                                          FileKind& found) const {
  const auto path = childPath(path_, name);
  if (!path) {
    found = FileKind::kOther;
    return std::nullopt;
  }
  if (create) (void)::CreateDirectoryW(path->c_str(), nullptr);
  // The link itself, never what it leads to; held without FILE_SHARE_DELETE
  // so that it stays where this path says from here on.
  File handle = openPath(*path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  const auto status = handle.valid() ? handle.status() : std::nullopt;
  if (status && status->kind == FileKind::kDirectory) {
    found = FileKind::kDirectory;
    Directory directory(std::move(handle));
    directory.path_ = path_ + "\\" + std::string(name);
    return directory;
  }
  const auto there = status ? status : entryStatus(name);
  found = there ? there->kind : FileKind::kOther;
  return std::nullopt;
}

std::optional<FileStatus> Directory::entryStatus(std::string_view name, bool followLink) const {
  const auto path = childPath(path_, name);
  if (!path) return std::nullopt;
  const File file =
      openPath(*path, FILE_READ_ATTRIBUTES, kShareAll,
               FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
  if (!file.valid()) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FileStatus{};
    return std::nullopt;
  }
  return file.status();
}

std::optional<File> Directory::openFile(std::string_view name) const {
  ErrorCode ignored = 0;
  return openFile(name, ignored);
}

std::optional<File> Directory::openFile(std::string_view name, ErrorCode& error) const {
  const auto path = childPath(path_, name);
  if (!path) {
    error = ENOENT;
    return std::nullopt;
  }
  File file = openPath(*path, GENERIC_READ, kShareAll, FILE_FLAG_OPEN_REPARSE_POINT);
  const auto status = file.valid() ? file.status() : std::nullopt;
  if (!status) {
    error = errnoOf(::GetLastError());
    return std::nullopt;
  }
  if (status->kind != FileKind::kRegular) {
    error = status->kind == FileKind::kDirectory ? EISDIR : EINVAL;
    return std::nullopt;
  }
  return file;
}

std::optional<PendingFile> Directory::createPending() const {
  auto directory = duplicate();
  if (!directory) return std::nullopt;
  const std::lock_guard<std::mutex> lock(pendingFileLock);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = temporaryName();
    const auto path = childPath(path_, name);
    if (!path) return std::nullopt;
    File file = fileOf(::CreateFileW(path->c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return std::nullopt;
    }
    if (!markForDeletion(file, true)) {
      file.close();
      ::DeleteFileW(path->c_str());
      return std::nullopt;
    }
    return PendingFile(std::move(*directory), std::move(file), std::move(name), -1);
  }
  return std::nullopt;
}

bool Directory::listNames(const std::function<void(std::string_view name)>& visit) const {
  const auto pattern = toWide(path_ + "\\*");
  if (!pattern) return false;
  WIN32_FIND_DATAW found{};
  const HANDLE listing = ::FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &found,
                                            FindExSearchNameMatch, nullptr, 0);
  if (listing == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  std::size_t handed = 0;
  bool failed = false;
  do {
    failed = listingsFailAfter && handed == *listingsFailAfter;
    if (failed) break;
    const std::wstring_view name(found.cFileName);
    if (name != L"." && name != L"..") {
      visit(toUtf8(name));
      ++handed;
    }
  } while (::FindNextFileW(listing, &found));
  const bool complete = !failed && ::GetLastError() == ERROR_NO_MORE_FILES;
  ::FindClose(listing);
  return complete;
}

void Directory::failListingsAfter(std::optional<std::size_t> names) { listingsFailAfter = names; }

bool Directory::foldsCase() const {
  // Windows 10 can mark single directories case-sensitive; it says so here.
  struct {
    ULONG flags;
  } caseSensitivity{};
  constexpr auto kCaseSensitiveInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(23);
  constexpr ULONG kCaseSensitiveDirectory = 1;
  if (::GetFileInformationByHandleEx(handleOf(handle_), kCaseSensitiveInfo, &caseSensitivity,
                                     sizeof caseSensitivity)) {
    return (caseSensitivity.flags & kCaseSensitiveDirectory) == 0;
  }
  // Elsewhere: whether this directory's own name, in the other case, leads
  // to it, as its final name says. A name without letters cannot tell, and
  // Windows' file systems fold then.
  std::string swapped = path_;
  bool changed = false;
  for (std::size_t i = swapped.size(); i > 0 && swapped[i - 1] != '\\'; --i) {
    char& c = swapped[i - 1];
    if (std::isalpha(static_cast<unsigned char>(c)) != 0) {
      c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) != 0 ? std::toupper(c)
                                                                             : std::tolower(c));
      changed = true;
    }
  }
  const auto wide = toWide(swapped);
  if (!changed || !wide) return true;
  const File other = openPath(*wide, FILE_READ_ATTRIBUTES, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
  return other.valid() && identityOf(handleOf(other)) == identityOf(handleOf(handle_));
}

PendingFile::PendingFile(Directory directory, File file, std::string name, int cleanupSlot)
    : directory_(std::move(directory)),
      file_(std::move(file)),
      name_(std::move(name)),
      cleanupSlot_(cleanupSlot) {}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : directory_(std::move(other.directory_)),
      file_(std::move(other.file_)),
      name_(std::move(other.name_)),
      cleanupSlot_(other.cleanupSlot_) {
  other.name_.clear();
  other.cleanupSlot_ = -1;
}

PendingFile::~PendingFile() { discard(); }

// The file is marked for deletion: closing it removes it.
void PendingFile::discard() {
  file_.close();
  name_.clear();
}

bool PendingFile::commit(std::string_view name, const std::optional<FileStatus>&) {
  const auto target = childPath(directory_.path_, name);
  const std::lock_guard<std::mutex> lock(pendingFileLock);
  // The mark must go first: a file marked for deletion keeps it under any name.
  const bool done = target && markForDeletion(file_, false) && renameTo(file_, *target);
  if (!done && !markForDeletion(file_, true)) {
    const auto path = childPath(directory_.path_, name_);
    file_.close();
    if (path) ::DeleteFileW(path->c_str());
  }
  discard();
  return done;
}

void PendingFile::preferNamedFiles(bool) {}

std::int64_t copyInKernel(const File&, std::int64_t, File&, std::int64_t, std::int64_t) {
  return 0;
}

std::int64_t kernelCopyAlignment(const File&) { return 0; }

bool cloneWholeFile(const File& in, File& out) {
  // ReFS shares clusters between files (block cloning); only it answers the
  // integrity query, which also gives the cluster size the clone needs.
  struct IntegrityInformation {
    WORD checksumAlgorithm;
    WORD reserved;
    DWORD flags;
    DWORD checksumChunkSize;
    DWORD clusterSize;
  } integrity{};
  struct DuplicateExtents {
    HANDLE source;
    LARGE_INTEGER sourceOffset;
    LARGE_INTEGER targetOffset;
    LARGE_INTEGER byteCount;
  };
  constexpr DWORD kGetIntegrity = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 159, METHOD_BUFFERED, 0);
  constexpr DWORD kDuplicateExtents =
      CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 209, METHOD_BUFFERED, FILE_WRITE_DATA);
  DWORD returned = 0;
  const auto length = in.length();
  if (!length ||
      !::DeviceIoControl(handleOf(in), kGetIntegrity, nullptr, 0, &integrity, sizeof integrity,
                         &returned, nullptr) ||
      integrity.clusterSize == 0) {
    return false;
  }
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = *length;
  const std::int64_t cluster = integrity.clusterSize;
  DuplicateExtents extents{handleOf(in), {}, {}, {}};
  extents.byteCount.QuadPart = (*length + cluster - 1) / cluster * cluster;
  if (!::SetFileInformationByHandle(handleOf(out), FileEndOfFileInfo, &end, sizeof end)) {
    return false;
  }
  if (::DeviceIoControl(handleOf(out), kDuplicateExtents, &extents, sizeof extents, nullptr, 0,
                        &returned, nullptr)) {
    return true;
  }
  end.EndOfFile.QuadPart = 0;
  (void)::SetFileInformationByHandle(handleOf(out), FileEndOfFileInfo, &end, sizeof end);
  return false;
}

bool isSafeLocalName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.back() == ' ' || name.back() == '.') {
    return false;
  }
  for (const char c : name) {
    if ((c >= '\0' && c < ' ') ||
        std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return isValidUtf8(name) && !isWindowsDeviceName(name);
}

NameRules nameRules() { return {.unicodeOnly = true, .windowsNames = true}; }

std::string foldCase(std::string_view name) {
  // Upper case, as NTFS keeps its table of names and compares them.
  const auto wide = toWide(name);
  if (!wide || wide->empty()) return std::string(name);
  const int length = static_cast<int>(wide->size());
  std::wstring upper(wide->size(), L'\0');
  if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide->data(), length, upper.data(),
                      length, nullptr, nullptr, 0) != length) {
    return std::string(name);
  }
  return toUtf8(upper);
}

PathParts splitPath(const std::string& path) {
  const auto separator = std::find_if(path.rbegin(), path.rend(), isSeparator);
  // "C:name" is a name in the current directory of drive C.
  const bool drive = path.size() >= 2 && path[1] == ':';
  if (separator == path.rend()) {
    if (drive) return {path.substr(0, 2), path.substr(2)};
    return {".", path};
  }
  const auto at = static_cast<std::size_t>(path.rend() - separator) - 1;
  // A separator that starts the path, or follows the drive, is the root.
  const bool root = at == 0 || (drive && at == 2);
  return {path.substr(0, root ? at + 1 : at), path.substr(at + 1)};
}

std::size_t pathLimit() { return 32767; }

std::filesystem::path fileSystemPath(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

ErrorCode changeDirectory(const std::string& path) {
  const auto wide = apiPath(path);
  if (!wide) return ENOENT;
  return ::SetCurrentDirectoryW(wide->c_str()) ? 0 : errnoOf(::GetLastError());
}

ProcessStart prepareProcess() {
  ProcessStart start;
  bool* closed[] = {&start.inputClosed, &start.outputClosed, &start.errorClosed};
  for (int fd = 0; fd <= 2; ++fd) {
    const DWORD id = standardHandleId(static_cast<StandardStream>(fd));
    const HANDLE handle = ::GetStdHandle(id);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
      const HANDLE device = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
      const int null = device == INVALID_HANDLE_VALUE
                           ? -1
                           : _open_osfhandle(reinterpret_cast<std::intptr_t>(device), _O_BINARY);
      if (null < 0 || (null != fd && (_dup2(null, fd) != 0 || _close(null) != 0))) std::abort();
      ::SetStdHandle(id, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
      *closed[fd] = true;
    }
    // p writes the entry's bytes as they are, and a script's bytes are read
    // as they are; only typed input keeps Ctrl-Z Enter as its end.
    DWORD mode = 0;
    if (fd != 0 || !::GetConsoleMode(::GetStdHandle(id), &mode)) (void)_setmode(fd, _O_BINARY);
  }
  originalOutputCodePage = ::GetConsoleOutputCP();
  originalInputCodePage = ::GetConsoleCP();
  if (originalOutputCodePage != 0 || originalInputCodePage != 0) {
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
    std::atexit(restoreConsoleCodePages);
  }
  return start;
}

std::vector<std::string> arguments(int, char**) {
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&::LocalFree)> wide(
      ::CommandLineToArgvW(::GetCommandLineW(), &count), &::LocalFree);
  std::vector<std::string> args;
  for (int i = 1; wide && i < count; ++i) args.push_back(toUtf8(wide.get()[i]));
  return args;
}

bool isTerminal(StandardStream stream) {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(standardHandleId(stream)), &mode) != 0;
}

ErrorCode writeStandard(StandardStream stream, std::span<const char> data) {
  const HANDLE handle = ::GetStdHandle(standardHandleId(stream));
  while (!data.empty()) {
    const auto want = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(handle, data.data(), want, &put, nullptr)) return errnoOf(::GetLastError());
    if (put == 0) return EIO;
    data = data.subspan(put);
  }
  return 0;
}

void installInterruptCleanup() { ::SetConsoleCtrlHandler(endOnInterrupt, TRUE); }

// No line editor changes the console here, and Windows stops no process.
void restoreTerminalOnSignals() {}
void stopThisProcess() {}

std::string_view endOfInputKeys() { return "Ctrl-Z Enter"; }

}  // namespace discshell::platform
