// The FUSE front end of --mount, on libfuse 3's low-level interface: each
// request of the kernel is answered in a few lines from the mount tree,
// which reads the volume through its own walk; nothing here reads the format.
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <system_error>

#include "mount/mount.h"
#include "mount/mount_tree.h"
#include "volume/layout.h"

namespace discshell {
namespace {

// The image does not change under the mount: the kernel may keep what it
// was told for an hour.
constexpr double kCacheSeconds = 3600;
// Reads of up to 1 MiB at a time, as many as libfuse lets the kernel send.
constexpr unsigned kLargestRead = 1 << 20;

struct MountState {
  MountState(const ImageFile& volumeImage, const VolumeGeometry& volumeGeometry)
      : tree(volumeImage, volumeGeometry),
        image(volumeImage),
        geometry(volumeGeometry),
        atMount(volumeImage.file().status()) {}
  MountTree tree;
  const ImageFile& image;
  VolumeGeometry geometry;
  std::optional<platform::FileStatus> atMount;
  uid_t owner = ::getuid();
  gid_t group = ::getgid();
  std::vector<unsigned char> readBuffer;
  std::vector<char> listBuffer;
};

MountState& stateOf(fuse_req_t request) {
  return *static_cast<MountState*>(fuse_req_userdata(request));
}

// Every time of an entry, to the nanosecond. Linux names the fields st_mtim
// and so on, macOS st_mtimespec: the one this system has is set.
template <typename Status>
void setTimes(Status& attributes, std::int64_t nanoseconds) {
  const timespec time{static_cast<time_t>(nanoseconds / 1000000000),
                      static_cast<long>(nanoseconds % 1000000000)};
  if constexpr (requires { attributes.st_mtim; }) {
    attributes.st_atim = attributes.st_mtim = attributes.st_ctim = time;
  } else {
    attributes.st_atimespec = attributes.st_mtimespec = attributes.st_ctimespec = time;
  }
}

// Read-only for everyone, owned by the mounting user, all with the image's
// modification time.
struct stat attributesOf(const MountState& state, const MountNode& node) {
  struct stat attributes {};
  attributes.st_ino = node.id;
  attributes.st_mode = node.directory ? S_IFDIR | 0555 : S_IFREG | 0444;
  attributes.st_nlink = 1;
  attributes.st_uid = state.owner;
  attributes.st_gid = state.group;
  attributes.st_size = node.id == kRootNode ? 0 : std::max(node.entry.byteCount, 0);
  attributes.st_blksize = kLargestRead;
  attributes.st_blocks = (attributes.st_size + 511) / 512;
  setTimes(attributes, state.atMount ? state.atMount->modified : 0);
  return attributes;
}

fuse_entry_param entryOf(const MountState& state, const MountNode& node) {
  fuse_entry_param entry{};
  entry.ino = node.id;
  entry.attr = attributesOf(state, node);
  entry.attr_timeout = entry.entry_timeout = kCacheSeconds;
  return entry;
}

void init(void*, fuse_conn_info* connection) {
  connection->max_readahead = kLargestRead;
  connection->max_read = kLargestRead;
  // The kernel may move a file's bytes from the image to the reader
  // without this process copying them.
  connection->want |= connection->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
}

void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  MountState& state = stateOf(request);
  const auto directory = state.tree.node(parent);
  const auto found = directory ? state.tree.lookup(*directory, name) : std::nullopt;
  // Not found is an entry of node 0, which the kernel remembers as such.
  fuse_entry_param entry{};
  entry.entry_timeout = kCacheSeconds;
  if (found) entry = entryOf(state, *found);
  fuse_reply_entry(request, &entry);
}

void getattr(fuse_req_t request, fuse_ino_t id, fuse_file_info*) {
  MountState& state = stateOf(request);
  const auto node = state.tree.node(id);
  if (!node) {
    fuse_reply_err(request, EIO);
    return;
  }
  const struct stat attributes = attributesOf(state, *node);
  fuse_reply_attr(request, &attributes, kCacheSeconds);
}

void open(fuse_req_t request, fuse_ino_t id, fuse_file_info* file) {
  if ((file->flags & O_ACCMODE) != O_RDONLY || (file->flags & O_TRUNC) != 0) {
    fuse_reply_err(request, EROFS);
    return;
  }
  MountState& state = stateOf(request);
  const auto node = state.tree.node(id);
  if (!node || node->directory || node->entry.byteCount < 0) {
    fuse_reply_err(request, node && node->directory ? EISDIR : EIO);
    return;
  }
  // An entry the image cuts short is read as asked, not in whole pages, so
  // that the bytes the image holds read and the first it lacks fails.
  const auto length = state.image.length();
  const bool cut = !length || std::int64_t{node->start} + node->entry.byteCount > *length;
  file->fh = packExtent({node->start, node->entry.byteCount, cut});
  file->direct_io = cut;
  // What the kernel cached of the file is still right while the image is
  // as it was at the mount.
  const auto now = state.image.file().status();
  file->keep_cache = !cut && state.atMount && now && now->unchangedSince(*state.atMount);
  fuse_reply_open(request, file);
}

// A file the image holds whole is answered from the image's descriptor
// (spliced where the kernel can), once the image's length now shows that
// it holds every byte asked for; a cut one through a buffer, as far as
// the image holds it.
void read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* file) {
  MountState& state = stateOf(request);
  const FileExtent extent = unpackExtent(file->fh);
  if (!extent.shortAtImageEnd) {
    const auto length = state.image.length();
    const auto place = length ? MountTree::place(extent, offset, size, *length) : std::nullopt;
    if (!place) {
      fuse_reply_err(request, EIO);
      return;
    }
    fuse_bufvec bytes{};  // as FUSE_BUFVEC_INIT, a C compound literal, makes it
    bytes.count = 1;
    bytes.buf[0].size = place->count;
    bytes.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    bytes.buf[0].fd = static_cast<int>(state.image.file().handle());
    bytes.buf[0].pos = place->position;
    fuse_reply_data(request, &bytes, FUSE_BUF_SPLICE_MOVE);
    return;
  }
  if (state.readBuffer.size() < size) state.readBuffer.resize(size);
  const auto got = state.tree.read(extent, offset, {state.readBuffer.data(), size});
  if (!got) {
    fuse_reply_err(request, EIO);
    return;
  }
  fuse_reply_buf(request, reinterpret_cast<const char*>(state.readBuffer.data()), *got);
}

void opendir(fuse_req_t request, fuse_ino_t id, fuse_file_info* directory) {
  const auto node = stateOf(request).tree.node(id);
  if (!node || !node->directory) {
    fuse_reply_err(request, node ? ENOTDIR : EIO);
    return;
  }
  directory->keep_cache = 1;
  directory->cache_readdir = 1;
  fuse_reply_open(request, directory);
}

// One buffer of entries from `offset` on: with their attributes for
// readdirplus, which spares the kernel a lookup for each.
void listEntries(fuse_req_t request, fuse_ino_t id, size_t size, off_t offset, bool plus) {
  MountState& state = stateOf(request);
  const auto node = state.tree.node(id);
  if (!node) {
    fuse_reply_err(request, EIO);
    return;
  }
  std::vector<char>& buffer = state.listBuffer;
  buffer.resize(size);
  std::size_t used = 0;
  state.tree.list(*node, static_cast<ListCookie>(offset),
                  [&](const MountNode& child, const std::string& name, ListCookie next) {
                    const auto nextOffset = static_cast<off_t>(next);
                    const fuse_entry_param entry = entryOf(state, child);
                    const std::size_t needed =
                        plus ? fuse_add_direntry_plus(request, buffer.data() + used, size - used,
                                                      name.c_str(), &entry, nextOffset)
                             : fuse_add_direntry(request, buffer.data() + used, size - used,
                                                 name.c_str(), &entry.attr, nextOffset);
                    if (needed > size - used) return false;
                    used += needed;
                    return true;
                  });
  fuse_reply_buf(request, buffer.data(), used);
}

void readdir(fuse_req_t request, fuse_ino_t id, size_t size, off_t offset, fuse_file_info*) {
  listEntries(request, id, size, offset, false);
}

void readdirplus(fuse_req_t request, fuse_ino_t id, size_t size, off_t offset, fuse_file_info*) {
  listEntries(request, id, size, offset, true);
}

void statfs(fuse_req_t request, fuse_ino_t) {
  const VolumeGeometry& geometry = stateOf(request).geometry;
  struct statvfs volume {};
  volume.f_bsize = volume.f_frsize = static_cast<unsigned long>(std::max(geometry.blockSize, 1));
  volume.f_blocks = static_cast<fsblkcnt_t>(std::max(geometry.volumeSize, 0)) / volume.f_bsize;
  // The longest name shown: an escape of every byte of the longest entry
  // name, and a device name's mark.
  volume.f_namemax = 3 * layout::kNameMaxLength + 1;
  fuse_reply_statfs(request, &volume);
}

// Every change is refused as on any read-only file system (the mount is
// read-only too, so the kernel refuses most of them before they get here).
fuse_lowlevel_ops operations() {
  fuse_lowlevel_ops ops{};
  ops.init = init;
  ops.lookup = lookup;
  ops.getattr = getattr;
  ops.open = open;
  ops.read = read;
  ops.opendir = opendir;
  ops.readdir = readdir;
  ops.readdirplus = readdirplus;
  ops.statfs = statfs;
  ops.setattr = [](fuse_req_t r, fuse_ino_t, struct stat*, int, fuse_file_info*) {
    fuse_reply_err(r, EROFS);
  };
  ops.mknod = [](fuse_req_t r, fuse_ino_t, const char*, mode_t, dev_t) {
    fuse_reply_err(r, EROFS);
  };
  ops.mkdir = [](fuse_req_t r, fuse_ino_t, const char*, mode_t) { fuse_reply_err(r, EROFS); };
  ops.unlink = [](fuse_req_t r, fuse_ino_t, const char*) { fuse_reply_err(r, EROFS); };
  ops.rmdir = [](fuse_req_t r, fuse_ino_t, const char*) { fuse_reply_err(r, EROFS); };
  ops.symlink = [](fuse_req_t r, const char*, fuse_ino_t, const char*) {
    fuse_reply_err(r, EROFS);
  };
  ops.rename = [](fuse_req_t r, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) {
    fuse_reply_err(r, EROFS);
  };
  ops.link = [](fuse_req_t r, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(r, EROFS); };
  ops.write = [](fuse_req_t r, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
    fuse_reply_err(r, EROFS);
  };
  ops.create = [](fuse_req_t r, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
    fuse_reply_err(r, EROFS);
  };
  ops.setxattr = [](fuse_req_t r, fuse_ino_t, const char*, const char*, size_t, int) {
    fuse_reply_err(r, EROFS);
  };
  ops.removexattr = [](fuse_req_t r, fuse_ino_t, const char*) { fuse_reply_err(r, EROFS); };
  ops.fallocate = [](fuse_req_t r, fuse_ino_t, int, off_t, off_t, fuse_file_info*) {
    fuse_reply_err(r, EROFS);
  };
  return ops;
}

// DIR as an absolute path (the server leaves the current directory for
// "/"), when it is an empty directory; else no value, after saying why.
std::optional<std::string> mountPoint(const std::string& directory, std::ostream& err) {
  std::error_code error;
  const auto path = std::filesystem::canonical(directory, error);
  if (!error && !std::filesystem::is_directory(path, error) && !error) {
    error = std::make_error_code(std::errc::not_a_directory);
  }
  if (!error && !std::filesystem::is_empty(path, error) && !error) {
    error = std::make_error_code(std::errc::directory_not_empty);
  }
  if (error) {
    err << "discshell: cannot mount on " << directory << ": " << error.message() << '\n';
    return std::nullopt;
  }
  return path.string();
}

// The arguments libfuse parses: read-only, the kernel checking the modes
// above, 1 MiB reads, the image named in the mount table, then the user's.
class FuseArguments {
 public:
  explicit FuseArguments(const MountRequest& request) {
    std::string fsname;
    for (const char c : std::filesystem::absolute(request.imageName).string()) {
      if (c == ',' || c == '\\') fsname += '\\';
      fsname += c;
    }
    add("discshell");
    add("-o");
    add("ro,default_permissions,subtype=discshell,max_read=" + std::to_string(kLargestRead) +
        ",fsname=" + fsname);
    for (const std::string& option : request.fuseOptions) {
      add("-o");
      add(option);
    }
  }
  ~FuseArguments() { fuse_opt_free_args(&arguments_); }
  FuseArguments(const FuseArguments&) = delete;
  FuseArguments& operator=(const FuseArguments&) = delete;
  [[nodiscard]] fuse_args* get() { return &arguments_; }

 private:
  void add(const std::string& argument) {
    if (fuse_opt_add_arg(&arguments_, argument.c_str()) != 0) throw std::bad_alloc();
  }
  fuse_args arguments_ = FUSE_ARGS_INIT(0, nullptr);
};

// A FUSE session, unmounted and destroyed on every path.
class Session {
 public:
  explicit Session(fuse_session* session) : session_(session) {}
  ~Session() {
    if (mounted_) fuse_session_unmount(session_);
    if (handlingSignals_) fuse_remove_signal_handlers(session_);
    fuse_session_destroy(session_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // SIGINT, SIGTERM and SIGHUP end the loop, which then unmounts; the
  // tool's own handlers, which end the process at once, make way for
  // libfuse's (it installs them only where none is), and a signal the
  // caller ignores stays ignored.
  bool handleSignals() {
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
      if (std::signal(signalNumber, SIG_DFL) == SIG_IGN) std::signal(signalNumber, SIG_IGN);
    }
    handlingSignals_ = fuse_set_signal_handlers(session_) == 0;
    return handlingSignals_;
  }
  bool mount(const std::string& directory) {
    mounted_ = fuse_session_mount(session_, directory.c_str()) == 0;
    return mounted_;
  }
  [[nodiscard]] fuse_session* get() const { return session_; }

 private:
  fuse_session* session_;
  bool handlingSignals_ = false;
  bool mounted_ = false;
};

}  // namespace

int mountVolume(const ImageFile& image, const VolumeGeometry& geometry, const MountRequest& request,
                std::ostream& out, std::ostream& err) {
  const auto directory = mountPoint(request.directory, err);
  if (!directory) return 1;
  MountState state(image, geometry);
  FuseArguments arguments(request);
  static const fuse_lowlevel_ops kOperations = operations();
  fuse_session* created =
      fuse_session_new(arguments.get(), &kOperations, sizeof kOperations, &state);
  if (created == nullptr) {
    err << "discshell: cannot mount on " << request.directory << ": FUSE refused the options\n";
    return 1;
  }
  Session session(created);
  if (!session.handleSignals() || !session.mount(*directory)) {
    err << "discshell: cannot mount on " << request.directory << '\n';
    return 1;
  }
  out << "Mounted " << request.imageName << " on " << request.directory;
  if (const std::int64_t leftOut = state.tree.namesLeftOut(); leftOut > 0) {
    out << "; " << leftOut << (leftOut == 1 ? " entry" : " entries")
        << " left out, as no file here can have such a name";
  }
  out << ".\n";
  out.flush();
  err.flush();
  // In the background the caller returns here, once the mount is in place.
  if (fuse_daemonize(request.foreground ? 1 : 0) != 0) {
    err << "discshell: cannot serve the mount on " << request.directory << '\n';
    return 1;
  }
  // A signal ends the loop with its number, an unmount with 0: both are a
  // clean end; only a failure of the loop itself is negative.
  return fuse_session_loop(session.get()) < 0 ? 1 : 0;
}

}  // namespace discshell
