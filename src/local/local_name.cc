#include "local/local_name.h"

#include <algorithm>
#include <vector>

#include "platform/utf8.h"

namespace discshell {
namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// Which bytes of `name` a folder with `rules` cannot hold.
std::vector<bool> bytesThatCannotStand(std::string_view name, const platform::NameRules& rules) {
  std::vector<bool> cannot(name.size(), false);
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    cannot[i] = byte == '/' || byte == '\0' ||
                (rules.windowsNames &&
                 (byte < 0x20 || std::string_view("<>:\"\\|?*").find(name[i]) != name.npos));
  }
  if (rules.unicodeOnly) {
    for (std::size_t i = 0; i < name.size();) {
      if (static_cast<unsigned char>(name[i]) < 0x80) {
        ++i;
      } else if (const std::size_t length = platform::utf8Sequence(name.substr(i)).length) {
        i += length;
      } else {
        cannot[i++] = true;
      }
    }
  }
  if (rules.windowsNames && (name.back() == ' ' || name.back() == '.')) cannot.back() = true;
  return cannot;
}

int hexValue(char c) {
  const std::size_t value = kHexDigits.find(c);
  return value == kHexDigits.npos ? -1 : static_cast<int>(value);
}

}  // namespace

std::string localName(std::string_view name, const platform::NameRules& rules) {
  if (name.empty()) return {};
  if (name == ".") return "%2E";
  if (name == "..") return "%2E%2E";
  const std::vector<bool> cannot = bytesThatCannotStand(name, rules);
  const bool device = rules.windowsNames && platform::isWindowsDeviceName(name);
  if (!device && std::find(cannot.begin(), cannot.end(), true) == cannot.end()) {
    return std::string(name);
  }
  const std::size_t stemEnd = device ? std::min(name.find('.'), name.size()) : name.npos;
  std::string local;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (i == stemEnd) local += '%';
    const auto byte = static_cast<unsigned char>(name[i]);
    if (cannot[i] || byte == '%') {
      local += '%';
      local += kHexDigits[byte >> 4];
      local += kHexDigits[byte & 0xF];
    } else {
      local += name[i];
    }
  }
  if (stemEnd == name.size()) local += '%';
  return local;
}

std::optional<std::string> entryNameOf(std::string_view local, const platform::NameRules& rules) {
  if (local.find('%') == local.npos) return std::nullopt;
  std::string name;
  for (std::size_t i = 0; i < local.size();) {
    if (local[i] != '%') {
      name += local[i++];
    } else if (i + 2 < local.size() && hexValue(local[i + 1]) >= 0 && hexValue(local[i + 2]) >= 0) {
      name += static_cast<char>(hexValue(local[i + 1]) * 16 + hexValue(local[i + 2]));
      i += 3;
    } else if (i + 1 == local.size() || local[i + 1] == '.' || local[i + 1] == '%') {
      // The mark behind a device name's stem: a dot may follow it, or the
      // escape of a dot that ends the name ("CON." is "CON%%2E").
      ++i;
    } else {
      return std::nullopt;
    }
  }
  // Only the escape localName itself gives stands for a name: any other
  // spelling of it is a name of its own.
  if (localName(name, rules) != local) return std::nullopt;
  return name;
}

}  // namespace discshell
