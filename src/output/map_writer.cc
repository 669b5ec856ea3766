#include "output/map_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <functional>
#include <string_view>

#include "platform/utf8.h"

namespace discshell {
namespace {

// The picture, in pixels: a margin, a heading, the map 1024 pixels wide,
// then the legend, the summary and the problems, a line each.
constexpr std::int64_t kMargin = 16;
constexpr std::int64_t kMapWidth = 1024;
constexpr std::int64_t kMapTop = 40;
constexpr std::int64_t kLegendRow = 22;
constexpr std::int64_t kLegendColumns = 4;
constexpr std::int64_t kTextLine = 18;
/// Problems listed by line at most; v lists them all.
constexpr std::size_t kMaxProblemLines = 1000;
/// Bytes of a path or a line from the image shown at most.
constexpr std::size_t kMaxShownBytes = 300;
/// What a path segment of a cell's run takes at most: "M1020 1020h1024v64h-1024z".
constexpr std::int64_t kRunBytes = 25;
/// The heading, the legend, the summary and the closing, with room to spare.
constexpr std::int64_t kFixedBytes = 32 << 10;
/// A problem's line at most: its text escaped, cut to kMaxShownBytes, and its element.
constexpr std::int64_t kProblemLineBytes = 6 * kMaxShownBytes + 100;

// What uses a cell, from the least serious on: a cell takes the most serious
// use of any block in it.
enum Use : std::size_t {
  kUnused,
  kFurtherCopy,
  kFirstCopy,
  kDirectory,
  kHeader,
  kPastEnd,
  kOverlap,
  kUseCount
};

struct UseStyle {
  std::string_view id;
  std::string_view fill;
  std::string_view label;
};

constexpr std::array<UseStyle, kUseCount> kUseStyles = {{
    {"unused", "#e6e6e6", "unused"},
    {"further-copy", "#a6dba0", "file data, further copies"},
    {"first-copy", "#1b7837", "file data, first copy"},
    {"directory", "#2166ac", "directory, each copy"},
    {"header", "#762a83", "volume header"},
    {"past-end", "url(#past-end)", "past the end of the image"},
    {"overlap", "#d73027", "several entries at once"},
}};

// The counters kept a cell besides the uses: a block of a focused entry, of
// a problem, of a copy that has no title of its own.
enum Mark : std::size_t { kFocused = kUseCount, kProblem, kUntitled, kMarkCount };

std::string decimal(std::int64_t value) { return std::to_string(value); }

std::string decimal(double value) {
  std::array<char, 32> text{};
  const auto end =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::general, 6);
  return {text.data(), end.ptr};
}

void appendNumber(std::string& out, std::int64_t value) {
  std::array<char, 24> text{};
  const auto end = std::to_chars(text.data(), text.data() + text.size(), value);
  out.append(text.data(), end.ptr);
}

// Text from the image as XML holds it, put behind `out`: markup characters
// escaped, control characters as "?", bytes that are no UTF-8 as U+FFFD, cut
// after kMaxShownBytes with an ellipsis.
void appendXml(std::string& out, std::string_view text) {
  const std::size_t length = std::min(text.size(), kMaxShownBytes);
  for (std::size_t i = 0; i < length;) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      switch (byte) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        default:
          out.push_back(byte < 0x20 || byte == 0x7F ? '?' : static_cast<char>(byte));
      }
      ++i;
      continue;
    }
    const platform::Utf8Sequence sequence = platform::utf8Sequence(text.substr(i));
    const std::string_view bytes = text.substr(i, sequence.length);
    if (sequence.length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else if (bytes <= "\xC2\x9F" || bytes == "\xEF\xBF\xBE" || bytes == "\xEF\xBF\xBF") {
      out.push_back('?');  // a C1 control, or what XML cannot hold
      i += sequence.length;
    } else {
      out += bytes;
      i += sequence.length;
    }
  }
  if (length < text.size()) out += "\xE2\x80\xA6";
}

std::string xmlText(std::string_view text) {
  std::string shown;
  appendXml(shown, text);
  return shown;
}

// The map's output, gathered into pieces of 64 KiB: the bytes go out at
// the file's end, and a few may be put back over earlier ones.
class SvgFile {
 public:
  explicit SvgFile(platform::File& file) : file_(file) { buffer_.reserve(kPiece); }
  void put(std::string_view text) {
    buffer_ += text;
    if (buffer_.size() >= kPiece) flush();
  }
  /// Bytes put so far.
  [[nodiscard]] std::int64_t size() const {
    return written_ + static_cast<std::int64_t>(buffer_.size());
  }
  void flush() {
    if (!buffer_.empty()) writeAt(written_, buffer_);
    written_ += static_cast<std::int64_t>(buffer_.size());
    buffer_.clear();
  }
  void writeAt(std::int64_t position, std::string_view bytes) {
    ok_ = ok_ && file_.writeAt(position, {reinterpret_cast<const unsigned char*>(bytes.data()),
                                          bytes.size()});
  }
  [[nodiscard]] bool ok() const { return ok_; }

 private:
  static constexpr std::size_t kPiece = std::size_t{64} << 10;
  platform::File& file_;
  std::string buffer_;
  std::int64_t written_ = 0;
  bool ok_ = true;
};

// How the blocks fall into cells and the cells into rows.
struct Grid {
  std::int64_t blocks = 0;
  std::int64_t blocksPerCell = 1;
  std::int64_t cells = 0;
  std::int64_t columns = 16;
  std::int64_t cellPixels = kMapWidth / 16;
  std::int64_t rows = 0;

  explicit Grid(std::int64_t blockCount) : blocks(std::max<std::int64_t>(blockCount, 0)) {
    blocksPerCell = std::max<std::int64_t>(1, (blocks + kMapMaxCells - 1) / kMapMaxCells);
    cells = (blocks + blocksPerCell - 1) / blocksPerCell;
    // About twice as wide as high, in whole powers of two from 16 to 256.
    while (columns < 256 && columns * columns < 2 * cells) columns *= 2;
    cellPixels = kMapWidth / columns;
    rows = (cells + columns - 1) / columns;
  }
  [[nodiscard]] std::int64_t rowBlocks() const { return columns * blocksPerCell; }
  [[nodiscard]] std::int64_t mapHeight() const { return rows * cellPixels; }
};

// Per cell, for each use and mark, how many runs cover it: while the survey
// runs, as differences (+1 where a run starts, -1 behind it), so a run of
// any length costs two additions; summed once at the end.
class CellCounters {
 public:
  explicit CellCounters(const Grid& grid)
      : grid_(grid), counts_(kMarkCount * static_cast<std::size_t>(grid.cells + 1), 0) {}

  /// Counts the blocks of `run` that lie in the volume; false when none do.
  bool add(std::size_t counter, BlockRun run) {
    const std::int64_t first = std::max<std::int64_t>(run.first, 0);
    const std::int64_t end = std::min(run.first + run.count, grid_.blocks);
    if (first >= end) return false;
    counts_[index(counter, first / grid_.blocksPerCell)] += 1;
    counts_[index(counter, (end - 1) / grid_.blocksPerCell + 1)] -= 1;
    return true;
  }
  void sum() {
    for (std::size_t counter = 0; counter < kMarkCount; ++counter) {
      std::int32_t running = 0;
      for (std::int64_t cell = 0; cell <= grid_.cells; ++cell) {
        running += counts_[index(counter, cell)];
        counts_[index(counter, cell)] = running;
      }
    }
  }
  /// Once summed: how many runs cover the cell.
  [[nodiscard]] std::int32_t count(std::size_t counter, std::int64_t cell) const {
    return counts_[index(counter, cell)];
  }
  [[nodiscard]] Use use(std::int64_t cell) const {
    for (std::size_t use = kUseCount - 1; use > kUnused; --use) {
      if (count(use, cell) > 0) return static_cast<Use>(use);
    }
    return kUnused;
  }

 private:
  [[nodiscard]] std::size_t index(std::size_t counter, std::int64_t cell) const {
    return counter * static_cast<std::size_t>(grid_.cells + 1) + static_cast<std::size_t>(cell);
  }
  const Grid& grid_;
  std::vector<std::int32_t> counts_;
};

// For the cells titled one at a time: of the copies without a title of
// their own that begin in a cell, the one that reaches furthest, so that a
// sweep knows a copy over each cell that any covers.
struct UntitledStart {
  std::uint32_t entry = 0;
  std::int64_t lastCell = -1;
};

class MapDrawing final : public VolumeSurvey {
 public:
  MapDrawing(platform::File& file, const VolumeGeometry& geometry, const MapRequest& request)
      : svg_(file), geometry_(geometry), request_(request) {}

  void extent(const VolumeExtent& volume) override;
  void problem(const std::string& path, const std::string& what,
               std::optional<BlockRun> blocks) override;
  void copy(const CopyPlace& copy) override;
  void overlap(BlockRun blocks) override { cells_->add(kOverlap, blocks); }
  void finish(const PathOfEntry& pathOf) override;

  [[nodiscard]] bool complete() const { return finished_ && svg_.ok(); }
  [[nodiscard]] std::int64_t blocks() const { return grid_ ? grid_->blocks : 0; }

 private:
  void writeHead(const VolumeExtent& volume);
  void writeCells();
  void writeRuns(std::string_view element, const std::function<bool(std::int64_t)>& in);
  std::int64_t writeLegend(std::int64_t top);
  std::int64_t writeTexts(std::int64_t top);
  void writeCellTitles(const PathOfEntry& pathOf);
  void textLine(std::int64_t y, std::string_view text, std::string_view style = "");
  void appendSegments(std::string& out, BlockRun run) const;
  void appendTitled(BlockRun run, std::string_view title);
  void untitled(const CopyPlace& copy);

  SvgFile svg_;
  const VolumeGeometry& geometry_;
  const MapRequest& request_;
  std::optional<Grid> grid_;
  std::optional<CellCounters> cells_;
  std::int64_t headerBlocks_ = 0;
  static constexpr std::size_t kHeightDigits = 10;
  std::array<std::int64_t, 2> heightFields_{};  ///< where the picture's height goes
  std::int64_t titleBudget_ = 0;                ///< what titles of copies may take
  std::int64_t titles_ = 0;
  bool titlesStopped_ = false;
  std::vector<UntitledStart> untitledStarts_;  ///< a cell each, once a copy has no title
  std::vector<std::string> problemLines_;      ///< the first kMaxProblemLines, as shown
  std::string title_;                          ///< the title at hand, reused
  std::string element_;                        ///< the element at hand, reused
  std::int64_t problems_ = 0;
  bool finished_ = false;
};

void MapDrawing::extent(const VolumeExtent& volume) {
  grid_.emplace(volume.blocks);
  cells_.emplace(*grid_);
  headerBlocks_ = volume.headerBlocks;
  cells_->add(kHeader, {0, volume.headerBlocks});
  cells_->add(kPastEnd, {volume.heldBlocks, volume.blocks - volume.heldBlocks});
  // Titles of copies may take what the worst cells and problems leave.
  const std::int64_t worstCells = kRunBytes * (2 * grid_->cells + 2 * grid_->rows + 2);
  titleBudget_ = kMapMaxBytes - kFixedBytes - worstCells -
                 static_cast<std::int64_t>(kMaxProblemLines) * kProblemLineBytes;
  writeHead(volume);
}

void MapDrawing::writeHead(const VolumeExtent& volume) {
  const Grid& grid = *grid_;
  const std::string width = decimal(kMapWidth + 2 * kMargin);
  svg_.put(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
      "width=\"" +
      width + "\" height=\"");
  // The height is known only at the end: ten digits, written over then.
  heightFields_[0] = svg_.size();
  svg_.put(std::string(kHeightDigits, '0') + "\" viewBox=\"0 0 " + width + ' ');
  heightFields_[1] = svg_.size();
  svg_.put(std::string(kHeightDigits, '0') + "\" font-family=\"sans-serif\" font-size=\"13\">\n");
  const std::string heading =
      decimal(volume.blocks) + (volume.blocks == 1 ? " block" : " blocks") + " of " +
      decimal(std::int64_t{geometry_.blockSize}) + " bytes, " + decimal(grid.blocksPerCell) +
      (grid.blocksPerCell == 1 ? " block" : " blocks") + " a cell: " + decimal(grid.cells) +
      (grid.cells == 1 ? " cell, " : " cells, ") + decimal(grid.columns) + " to a row";
  svg_.put("<title>Map of the volume: " + heading + "</title>\n");
  svg_.put(
      "<defs><pattern id=\"past-end\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\">"
      "<rect width=\"8\" height=\"8\" fill=\"#fee0b6\"/><path d=\"M-2 2L2-2M0 8L8 0M6 10L10 6\" "
      "stroke=\"#b35806\" stroke-width=\"2\"/></pattern></defs>\n");
  svg_.put("<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n");
  svg_.put("<text id=\"heading\" x=\"16\" y=\"26\" font-size=\"16\">" + heading + "</text>\n");
  // The copies' titles, in blocks across and rows down: each a line one
  // row thick, stroked without colour, so that it shows its title on hover.
  const double across =
      static_cast<double>(grid.cellPixels) / static_cast<double>(grid.blocksPerCell);
  svg_.put("<g id=\"titles\" transform=\"translate(" + decimal(kMargin) + ' ' +
           decimal(static_cast<double>(kMapTop) + static_cast<double>(grid.cellPixels) / 2) +
           ") scale(" + decimal(across) + ' ' + decimal(grid.cellPixels) +
           ")\" fill=\"none\" stroke=\"#000000\" stroke-opacity=\"0\" stroke-width=\"1\">\n");
}

// The lines, a row thick, that a run of blocks covers in the titles' groups.
void MapDrawing::appendSegments(std::string& out, BlockRun run) const {
  const Grid& grid = *grid_;
  std::int64_t block = std::max<std::int64_t>(run.first, 0);
  const std::int64_t end = std::min(run.first + run.count, grid.blocks);
  while (block < end) {
    const std::int64_t row = block / grid.rowBlocks();
    const std::int64_t across = block - row * grid.rowBlocks();
    const std::int64_t length = std::min(end - block, grid.rowBlocks() - across);
    out.push_back('M');
    appendNumber(out, across);
    out.push_back(' ');
    appendNumber(out, row);
    out.push_back('h');
    appendNumber(out, length);
    block += length;
  }
}

// The element that shows `title` over the run, in `element_`: the hot path
// of a large map, so it reuses one buffer.
void MapDrawing::appendTitled(BlockRun run, std::string_view title) {
  element_ += "<path d=\"";
  appendSegments(element_, run);
  element_ += "\"><title>";
  element_ += title;
  element_ += "</title></path>\n";
}

void MapDrawing::copy(const CopyPlace& copy) {
  const Use use = copy.directory ? kDirectory : copy.index == 0 ? kFirstCopy : kFurtherCopy;
  if (!cells_->add(use, copy.blocks)) return;
  if (copy.focused) cells_->add(kFocused, copy.blocks);
  // Over the header's blocks, the copy and the header lie at once.
  if (!copy.checked) {
    const std::int64_t headerEnd = std::min(copy.blocks.first + copy.blocks.count, headerBlocks_);
    if (headerEnd > copy.blocks.first) {
      cells_->add(kOverlap, {copy.blocks.first, headerEnd - copy.blocks.first});
    }
  }
  if (titlesStopped_ || titles_ >= kMapMaxEntryTitles) {
    titlesStopped_ = true;
    untitled(copy);
    return;
  }
  const BlockRun& run = copy.blocks;
  title_.clear();
  appendXml(title_, copy.path);
  title_ += ", copy ";
  appendNumber(title_, static_cast<std::int64_t>(copy.index));
  title_ += ": blocks ";
  appendNumber(title_, run.first);
  title_.push_back('-');
  appendNumber(title_, run.first + run.count - 1);
  title_ += ", ";
  appendNumber(title_, copy.byteCount);
  title_ += copy.byteCount == 1 ? " byte" : " bytes";
  element_.clear();
  appendTitled(run, title_);
  const auto size = static_cast<std::int64_t>(element_.size());
  if (size > titleBudget_) {
    titlesStopped_ = true;
    untitled(copy);
    return;
  }
  svg_.put(element_);
  titleBudget_ -= size;
  ++titles_;
}

void MapDrawing::untitled(const CopyPlace& copy) {
  cells_->add(kUntitled, copy.blocks);
  if (untitledStarts_.empty()) untitledStarts_.resize(static_cast<std::size_t>(grid_->cells));
  const std::int64_t first = std::max<std::int64_t>(copy.blocks.first, 0);
  const std::int64_t last = std::min(copy.blocks.first + copy.blocks.count, grid_->blocks) - 1;
  UntitledStart& start = untitledStarts_[static_cast<std::size_t>(first / grid_->blocksPerCell)];
  if (last / grid_->blocksPerCell > start.lastCell) {
    start = {copy.entry, last / grid_->blocksPerCell};
  }
}

void MapDrawing::problem(const std::string& path, const std::string& what,
                         std::optional<BlockRun> blocks) {
  ++problems_;
  if (problemLines_.size() < kMaxProblemLines) problemLines_.push_back(xmlText(path + ": " + what));
  if (blocks) cells_->add(kProblem, *blocks);
}

void MapDrawing::finish(const PathOfEntry& pathOf) {
  svg_.put("</g>\n");
  cells_->sum();
  writeCells();
  std::int64_t bottom = writeLegend(kMapTop + grid_->mapHeight() + 16);
  bottom = writeTexts(bottom + 8);
  writeCellTitles(pathOf);
  svg_.put("</svg>\n");
  svg_.flush();
  const std::string height = decimal(bottom + kMargin);
  for (const std::int64_t field : heightFields_) {
    svg_.writeAt(field, std::string(kHeightDigits - height.size(), '0') + height);
  }
  finished_ = true;
}

// The cells by use, then the veil over what lies outside the focus, then
// the problems' outlines; none of them takes the pointer from the titles.
void MapDrawing::writeCells() {
  svg_.put("<g id=\"cells\" transform=\"translate(" + decimal(kMargin) + ' ' + decimal(kMapTop) +
           ")\" pointer-events=\"none\">\n");
  for (std::size_t use = 0; use < kUseCount; ++use) {
    writeRuns("<path id=\"cells-" + std::string(kUseStyles[use].id) + "\" fill=\"" +
                  std::string(kUseStyles[use].fill) + '"',
              [&](std::int64_t cell) { return cells_->use(cell) == use; });
  }
  if (request_.focus.record || request_.focus.directory) {
    writeRuns("<path id=\"outside-focus\" fill=\"#ffffff\" fill-opacity=\"0.75\"",
              [&](std::int64_t cell) { return cells_->count(kFocused, cell) == 0; });
  }
  // Cells large enough to show it are parted by a white line.
  if (grid_->cellPixels >= 8) {
    const std::string side = decimal(grid_->cellPixels);
    svg_.put("<pattern id=\"cell-edges\" width=\"" + side + "\" height=\"" + side +
             "\" patternUnits=\"userSpaceOnUse\"><path d=\"M0 0H" + side + "M0 0V" + side +
             "\" stroke=\"#ffffff\" stroke-width=\"2\"/></pattern><rect width=\"" +
             decimal(grid_->columns * grid_->cellPixels) + "\" height=\"" +
             decimal(grid_->mapHeight()) + "\" fill=\"url(#cell-edges)\"/>\n");
  }
  const double outline = static_cast<double>(std::max<std::int64_t>(1, grid_->cellPixels / 8));
  writeRuns("<path id=\"problems\" fill=\"none\" stroke=\"#000000\" stroke-width=\"" +
                decimal(outline) + '"',
            [&](std::int64_t cell) { return cells_->count(kProblem, cell) > 0; });
  svg_.put("</g>\n");
}

// One path of the runs of cells in a row that `in` takes, if there are any.
void MapDrawing::writeRuns(std::string_view element, const std::function<bool(std::int64_t)>& in) {
  const Grid& grid = *grid_;
  const std::string side = decimal(grid.cellPixels);
  bool open = false;
  for (std::int64_t cell = 0; cell < grid.cells;) {
    if (!in(cell)) {
      ++cell;
      continue;
    }
    const std::int64_t rowEnd = std::min((cell / grid.columns + 1) * grid.columns, grid.cells);
    std::int64_t end = cell + 1;
    while (end < rowEnd && in(end)) ++end;
    if (!open) svg_.put(std::string(element) + " d=\"");
    open = true;
    const std::string width = decimal((end - cell) * grid.cellPixels);
    svg_.put('M' + decimal(cell % grid.columns * grid.cellPixels) + ' ' +
             decimal(cell / grid.columns * grid.cellPixels) + 'h' + width + 'v' + side + "h-" +
             width + 'z');
    cell = end;
  }
  if (open) svg_.put("\"/>\n");
}

// The legend: a swatch and its words for each use, four to a row. Returns
// the first line below it.
std::int64_t MapDrawing::writeLegend(std::int64_t top) {
  std::vector<std::pair<std::string, std::string>> items;
  for (const UseStyle& style : kUseStyles) {
    items.emplace_back(
        "<rect id=\"legend-" + std::string(style.id) + "\" fill=\"" + std::string(style.fill) + '"',
        std::string(style.label));
  }
  items.emplace_back(
      "<rect id=\"legend-problems\" fill=\"none\" stroke=\"#000000\" stroke-width=\"2\"",
      "a problem v names");
  if (request_.focus.record || request_.focus.directory) {
    items.emplace_back("<rect id=\"legend-outside-focus\" fill=\"#2166ac\" fill-opacity=\"0.25\"",
                       "outside " + xmlText(request_.focusPath) + ", veiled");
  }
  const std::int64_t columnWidth = kMapWidth / kLegendColumns;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto index = static_cast<std::int64_t>(i);
    const std::int64_t x = kMargin + index % kLegendColumns * columnWidth;
    const std::int64_t y = top + index / kLegendColumns * kLegendRow;
    svg_.put(items[i].first + " x=\"" + decimal(x) + "\" y=\"" + decimal(y) +
             "\" width=\"14\" height=\"14\"/><text x=\"" + decimal(x + 20) + "\" y=\"" +
             decimal(y + 12) + "\">" + items[i].second + "</text>\n");
  }
  const auto rows = (static_cast<std::int64_t>(items.size()) + kLegendColumns - 1) / kLegendColumns;
  return top + rows * kLegendRow;
}

void MapDrawing::textLine(std::int64_t y, std::string_view text, std::string_view style) {
  svg_.put("<text x=\"" + decimal(kMargin) + "\" y=\"" + decimal(y) + '"' + std::string(style) +
           '>' + std::string(text) + "</text>\n");
}

// The summary, then v's problems. Returns the line below the last.
std::int64_t MapDrawing::writeTexts(std::int64_t top) {
  std::int64_t y = top;
  for (const std::string& line : request_.summary) {
    textLine(y += kTextLine, xmlText(line), " font-family=\"monospace\"");
  }
  y += kTextLine / 2;
  textLine(y += kTextLine, problems_ == 0   ? "v names no problems."
                           : problems_ == 1 ? "v names 1 problem:"
                                            : "v names " + decimal(problems_) + " problems:");
  for (std::size_t i = 0; i < problemLines_.size(); ++i) {
    textLine(y += kTextLine, problemLines_[i],
             " class=\"problem\" font-family=\"monospace\" font-size=\"12\"");
  }
  const std::int64_t more = problems_ - static_cast<std::int64_t>(problemLines_.size());
  if (more > 0) textLine(y += kTextLine, "... and " + decimal(more) + " more: v lists them all.");
  return y + kTextLine / 2;
}

// A title for each cell that a copy without one of its own covers, the
// copy reaching furthest from the nearest cell before it, in cell order
// while the map stays within its size.
void MapDrawing::writeCellTitles(const PathOfEntry& pathOf) {
  if (untitledStarts_.empty()) return;
  const Grid& grid = *grid_;
  constexpr std::int64_t kClosing = 64;
  svg_.put("<g id=\"cell-titles\" transform=\"translate(" + decimal(kMargin) + ' ' +
           decimal(static_cast<double>(kMapTop) + static_cast<double>(grid.cellPixels) / 2) +
           ") scale(" +
           decimal(static_cast<double>(grid.cellPixels) / static_cast<double>(grid.blocksPerCell)) +
           ' ' + decimal(grid.cellPixels) +
           ")\" fill=\"none\" stroke=\"#000000\" stroke-opacity=\"0\" stroke-width=\"1\">\n");
  UntitledStart reaching;
  for (std::int64_t cell = 0; cell < grid.cells; ++cell) {
    const UntitledStart& start = untitledStarts_[static_cast<std::size_t>(cell)];
    if (start.lastCell > reaching.lastCell) reaching = start;
    const std::int32_t copies = cells_->count(kUntitled, cell);
    if (copies == 0 || reaching.lastCell < cell) continue;
    const std::int64_t first = cell * grid.blocksPerCell;
    const std::int64_t end = std::min(first + grid.blocksPerCell, grid.blocks);
    std::string title = "blocks " + decimal(first) + '-' + decimal(end - 1) + ": " +
                        xmlText(pathOf(reaching.entry));
    if (copies > 1) title += " and " + decimal(std::int64_t{copies} - 1) + " more";
    element_.clear();
    appendTitled({first, end - first}, title);
    if (svg_.size() + static_cast<std::int64_t>(element_.size()) + kClosing > kMapMaxBytes) break;
    svg_.put(element_);
  }
  svg_.put("</g>\n");
}

}  // namespace

MapResult writeVolumeMap(const ImageFile& image, const VolumeGeometry& geometry,
                         const MapRequest& request, const OutputPlace& place,
                         const BytesRead& bytesRead) {
  OutputFile output = locateOutputFile(place);
  if (output.isImage(image)) return {MapOutcome::kIsImage};
  if (output.isDirectory()) return {MapOutcome::kIsDirectory};
  if (output.notRegular()) return {MapOutcome::kNotRegular};
  if (!output.directory) return {};
  auto pending = output.directory->createPending();
  if (!pending) return {};
  MapDrawing drawing(pending->file(), geometry, request);
  surveyVolume(image, geometry, drawing, request.focus, bytesRead);
  if (!drawing.complete() || !output.stillReplaceable() ||
      !pending->commit(output.name, output.existing)) {
    return {};
  }
  return {MapOutcome::kWritten, drawing.blocks()};
}

}  // namespace discshell
