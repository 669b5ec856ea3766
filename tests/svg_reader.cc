#include "svg_reader.h"

#include <gtest/gtest.h>

#include <regex>

namespace discshell::testing {
namespace {

class XmlParser {
 public:
  explicit XmlParser(const std::string& text) : text_(text) {}

  std::optional<XmlElement> document() {
    skipSpace();
    if (text_.compare(at_, 5, "<?xml") == 0) {
      at_ = text_.find("?>", at_);
      if (at_ == std::string::npos) return std::nullopt;
      at_ += 2;
    }
    skipSpace();
    auto root = element();
    skipSpace();
    if (!root || at_ != text_.size() || !validUtf8()) return std::nullopt;
    return root;
  }

 private:
  std::optional<XmlElement> element() {
    XmlElement element;
    if (!take('<') || !name(element.name)) return std::nullopt;
    for (;;) {
      skipSpace();
      if (take('/')) return take('>') ? std::optional(element) : std::nullopt;
      if (take('>')) break;
      std::string key;
      std::string value;
      if (!name(key) || !take('=') || !take('"') || !characters('"', value) || !take('"') ||
          !element.attributes.emplace(key, value).second) {
        return std::nullopt;
      }
    }
    for (;;) {
      std::string text;
      if (!characters('<', text)) return std::nullopt;
      element.text += text;
      if (text_.compare(at_, 2, "</") == 0) break;
      auto child = this->element();
      if (!child) return std::nullopt;
      element.children.push_back(std::move(*child));
    }
    at_ += 2;
    std::string closing;
    if (!name(closing) || closing != element.name) return std::nullopt;
    skipSpace();
    return take('>') ? std::optional(element) : std::nullopt;
  }

  // Text up to `end` (not taken), its entities read; false at a stray
  // markup character or the document's end.
  bool characters(char end, std::string& out) {
    while (at_ < text_.size() && text_[at_] != end) {
      const char c = text_[at_];
      if (c == '<' || c == '>' || (c == '"' && end == '"')) return false;
      if (c == '&') {
        static const std::map<std::string, char> kEntities = {
            {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
        const std::size_t semicolon = text_.find(';', at_);
        if (semicolon == std::string::npos) return false;
        const auto entity = kEntities.find(text_.substr(at_, semicolon - at_ + 1));
        if (entity == kEntities.end()) return false;
        out.push_back(entity->second);
        at_ = semicolon + 1;
        continue;
      }
      if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r') return false;
      out.push_back(c);
      ++at_;
    }
    return at_ < text_.size();
  }

  bool name(std::string& out) {
    const std::size_t start = at_;
    while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) != 0 ||
                                  text_[at_] == '-' || text_[at_] == ':' || text_[at_] == '_')) {
      ++at_;
    }
    out = text_.substr(start, at_ - start);
    return !out.empty();
  }

  bool take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  void skipSpace() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_])) != 0) ++at_;
  }

  [[nodiscard]] bool validUtf8() const {
    for (std::size_t i = 0; i < text_.size();) {
      const auto byte = static_cast<unsigned char>(text_[i]);
      const std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
      if (byte >= 0x80 && (byte < 0xC2 || byte > 0xF4)) return false;
      for (std::size_t k = 1; k < length; ++k) {
        if (i + k >= text_.size() || (static_cast<unsigned char>(text_[i + k]) & 0xC0) != 0x80) {
          return false;
        }
      }
      i += length;
    }
    return true;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

// The cells of the runs "M{x} {y}h{w}v{h}h-{w}z" of a cell layer.
std::set<std::int64_t> cellsOf(const std::string& d, const MapFacts& map) {
  std::set<std::int64_t> cells;
  static const std::regex kRun(R"(M(\d+) (\d+)h(\d+)v(\d+)h-(\d+)z)");
  std::size_t matched = 0;
  for (auto it = std::sregex_iterator(d.begin(), d.end(), kRun); it != std::sregex_iterator();
       ++it) {
    const std::int64_t x = std::stoll((*it)[1]);
    const std::int64_t y = std::stoll((*it)[2]);
    const std::int64_t width = std::stoll((*it)[3]);
    EXPECT_EQ(std::stoll((*it)[4]), map.cellPixels);
    EXPECT_EQ(x % map.cellPixels + y % map.cellPixels + width % map.cellPixels, 0) << d;
    const std::int64_t first = y / map.cellPixels * map.columns + x / map.cellPixels;
    for (std::int64_t i = 0; i < width / map.cellPixels; ++i) cells.insert(first + i);
    matched += static_cast<std::size_t>(it->length());
  }
  EXPECT_EQ(matched, d.size()) << d;
  return cells;
}

}  // namespace

std::string XmlElement::attribute(const std::string& key) const {
  const auto found = attributes.find(key);
  return found == attributes.end() ? "" : found->second;
}

std::vector<const XmlElement*> XmlElement::all(const std::string& elementName) const {
  std::vector<const XmlElement*> found;
  if (name == elementName) found.push_back(this);
  for (const XmlElement& child : children) {
    for (const XmlElement* below : child.all(elementName)) found.push_back(below);
  }
  return found;
}

const XmlElement* XmlElement::byId(const std::string& id) const {
  if (attribute("id") == id) return this;
  for (const XmlElement& child : children) {
    if (const XmlElement* found = child.byId(id)) return found;
  }
  return nullptr;
}

std::optional<XmlElement> parseXml(const std::string& text) { return XmlParser(text).document(); }

std::string MapFacts::use(std::int64_t cell) const {
  std::string found;
  for (const auto& [name, layer] : uses) {
    if (layer.count(cell) == 0) continue;
    if (!found.empty()) return "";
    found = name;
  }
  return found;
}

MapFacts readMap(const XmlElement& svg) {
  MapFacts map;
  EXPECT_EQ(svg.name, "svg");
  map.width = std::stoll(svg.attribute("width"));
  map.height = std::stoll(svg.attribute("height"));
  EXPECT_EQ(svg.attribute("viewBox"),
            "0 0 " + std::to_string(map.width) + " " + svg.attribute("height"));
  const XmlElement* heading = svg.byId("heading");
  if (heading == nullptr) {
    ADD_FAILURE() << "no heading";
    return map;
  }
  std::smatch parts;
  static const std::regex kHeading(
      R"((\d+) blocks? of (-?\d+) bytes, (\d+) blocks? a cell: (\d+) cells?, (\d+) to a row)");
  if (!std::regex_match(heading->text, parts, kHeading)) {
    ADD_FAILURE() << "heading: " << heading->text;
    return map;
  }
  map.blocks = std::stoll(parts[1]);
  map.blockSize = std::stoll(parts[2]);
  map.blocksPerCell = std::stoll(parts[3]);
  map.cells = std::stoll(parts[4]);
  map.columns = std::stoll(parts[5]);
  map.cellPixels = 1024 / map.columns;
  for (const std::string& use : std::vector<std::string>{
           "unused", "further-copy", "first-copy", "directory", "header", "past-end", "overlap"}) {
    if (const XmlElement* layer = svg.byId("cells-" + use)) {
      map.uses[use] = cellsOf(layer->attribute("d"), map);
    }
    if (const XmlElement* swatch = svg.byId("legend-" + use))
      map.legend[use] = swatch->attribute("fill");
  }
  if (const XmlElement* layer = svg.byId("problems"))
    map.outlined = cellsOf(layer->attribute("d"), map);
  if (const XmlElement* layer = svg.byId("outside-focus")) {
    map.outsideFocus = cellsOf(layer->attribute("d"), map);
  }
  for (const XmlElement* title : svg.all("title")) map.titles.push_back(title->text);
  for (const XmlElement* text : svg.all("text")) {
    map.texts.push_back(text->text);
    if (text->attribute("class") == "problem") map.problems.push_back(text->text);
  }
  return map;
}

}  // namespace discshell::testing
