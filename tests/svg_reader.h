// Reads the maps of k and --map back: a lean XML reader (elements,
// attributes, text and the five entities; the declaration passed over) that
// refuses what is not well-formed, and the facts of a map from it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace discshell::testing {

struct XmlElement {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;  ///< the text directly inside, entities read
  std::vector<XmlElement> children;

  /// The attribute, or "" when it has none.
  [[nodiscard]] std::string attribute(const std::string& key) const;
  /// Every element below this one (this one too) of that name, in document order.
  [[nodiscard]] std::vector<const XmlElement*> all(const std::string& elementName) const;
  /// The first element below this one whose id is `id`; null when none is.
  [[nodiscard]] const XmlElement* byId(const std::string& id) const;
};

/// The document's root element; no value when the text is not well-formed
/// XML (a tag left open, a stray "<" or "&", bytes that are no UTF-8...).
[[nodiscard]] std::optional<XmlElement> parseXml(const std::string& text);

/// What a map says of itself and of its cells.
struct MapFacts {
  std::int64_t blocks = 0;
  std::int64_t blockSize = 0;
  std::int64_t blocksPerCell = 0;
  std::int64_t cells = 0;
  std::int64_t columns = 0;
  std::int64_t cellPixels = 0;
  /// Each use's cells, by the use's name ("header", "directory", ...).
  std::map<std::string, std::set<std::int64_t>> uses;
  std::set<std::int64_t> outlined;            ///< the cells of v's problems
  std::set<std::int64_t> outsideFocus;        ///< the cells veiled outside k's PATH
  std::vector<std::string> titles;            ///< of every copy and cell, in document order
  std::vector<std::string> problems;          ///< the lines below the map
  std::vector<std::string> texts;             ///< every text, in document order
  std::map<std::string, std::string> legend;  ///< the fill of each use's swatch
  std::int64_t width = 0;
  std::int64_t height = 0;

  /// The use of a cell: the name of the one layer that holds it, "" when
  /// none or several do.
  [[nodiscard]] std::string use(std::int64_t cell) const;
};

/// The facts of a parsed map; a failed expectation when it is not one.
[[nodiscard]] MapFacts readMap(const XmlElement& svg);

}  // namespace discshell::testing
