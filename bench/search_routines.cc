// The search routines f could use, and the sizes of its reads: how many GB/s
// each finds every occurrence (overlapping ones included) of a 12-byte text.
// bench/search.sh builds and runs it; its figures explain the choices in
// src/bytes/search.h.
//
//   search_routines MIB IMAGE
//
// First the routines on the same MIB of bytes in memory, random and text,
// in pieces of 256 KiB; then f's search over one piece that stays in the
// processor's caches, by the piece's size; then IMAGE read whole from the
// page cache in pieces of each size through one buffer, alone and searched.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bytes/search.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
using Routine = std::function<std::size_t(const unsigned char*, std::size_t)>;

// Counts occurrences that begin in each piece, searching each piece with the
// pattern's length - 1 bytes of the next, as f's reads overlap.
double gigabytesPerSecond(const Bytes& data, std::size_t piece, std::size_t patternLength,
                          const Routine& routine, std::size_t& found) {
  double best = 1e30;
  for (int run = 0; run < 5; ++run) {
    found = 0;
    const auto start = Clock::now();
    for (std::size_t at = 0; at < data.size(); at += piece) {
      const std::size_t length = std::min(piece + patternLength - 1, data.size() - at);
      found += routine(data.data() + at, length);
    }
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return static_cast<double>(data.size()) / best / 1e9;
}

Bytes randomBytes(std::size_t size) {
  Bytes data(size);
  std::mt19937_64 random(1);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  return data;
}

// Words of a game's script: the bytes f is mostly asked to search.
Bytes scriptText(std::size_t size) {
  const char* const words[] = {"the ",   "you ",    "Press ", "to ",    "continue. ", "Game ",
                               "over, ", "START! ", "and ",   "enter ", "a ",         "door\n"};
  Bytes data;
  data.reserve(size);
  std::mt19937_64 random(2);
  while (data.size() < size) {
    const char* word = words[random() % 12];
    data.insert(data.end(), word, word + std::strlen(word));
  }
  data.resize(size);
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::size_t size = static_cast<std::size_t>(std::atol(argv[1])) << 20;
  const std::string text = "Press START!";
  const auto* pattern = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const discshell::ByteSearch ours(text);
  const std::boyer_moore_horspool_searcher horspool(pattern, pattern + n);
  const std::default_searcher plain(pattern, pattern + n);
  // Every occurrence from the piece's first byte on, one after another.
  const auto repeatedly = [&](const auto& next) {
    return [&, next](const unsigned char* data, std::size_t length) {
      std::size_t count = 0;
      for (const unsigned char* at = data; (at = next(at, data + length)) + n <= data + length;
           ++at) {
        ++count;
      }
      return count;
    };
  };
  const Routine byteSearch = [&](const unsigned char* data, std::size_t length) {
    std::size_t count = 0;
    ours.findIn({data, length}, 0, [&](std::int64_t) { ++count; });
    return count;
  };
  const std::vector<std::pair<const char*, Routine>> routines = {
      {"ByteSearch (f's)", byteSearch},
      {"memmem", repeatedly([&](const unsigned char* from, const unsigned char* end) {
         const void* at = memmem(from, static_cast<std::size_t>(end - from), pattern, n);
         return at == nullptr ? end : static_cast<const unsigned char*>(at);
       })},
      {"std::boyer_moore_horspool_searcher",
       repeatedly([&](const unsigned char* from, const unsigned char* end) {
         return horspool(from, end).first;
       })},
      {"std::search (default_searcher)",
       repeatedly([&](const unsigned char* from, const unsigned char* end) {
         return plain(from, end).first;
       })},
  };
  for (const auto& [kind, data] :
       {std::pair("random bytes", randomBytes(size)), std::pair("script text", scriptText(size))}) {
    std::printf("In memory, %s, %zu MiB, pieces of 256 KiB:\n", kind, size >> 20);
    for (const auto& [name, routine] : routines) {
      std::size_t found = 0;
      const double rate = gigabytesPerSecond(data, std::size_t{256} << 10, n, routine, found);
      std::printf("  %-36s %5.1f GB/s (%zu found)\n", name, rate, found);
    }
  }
  // One piece searched again and again stays in the processor's caches, as
  // a piece just read does: how fast the search goes there, by its size.
  std::printf("One piece of random bytes searched 1 GiB's worth of times:\n");
  for (const std::size_t piece : {std::size_t{256} << 10, std::size_t{1} << 20}) {
    const Bytes data = randomBytes(piece);
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
      const auto start = Clock::now();
      for (std::size_t done = 0; done < (std::size_t{1} << 30); done += piece) {
        byteSearch(data.data(), piece);
      }
      best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::printf("  pieces of %4zu KiB: %5.1f GB/s\n", piece >> 10, 1073741824.0 / best / 1e9);
  }
  const auto image = discshell::platform::openForReading(argv[2]);
  if (!image) return 1;
  std::printf("%s from the page cache, through one buffer:\n", argv[2]);
  for (const std::size_t piece :
       {std::size_t{128} << 10, std::size_t{256} << 10, std::size_t{1} << 20}) {
    for (const bool search : {false, true}) {
      Bytes buffer(piece);
      double best = 1e30;
      std::size_t found = 0;
      std::int64_t total = 0;
      for (int run = 0; run < 5; ++run) {
        found = 0;
        total = 0;
        const auto start = Clock::now();
        for (std::size_t got; (got = image->readAt(total, buffer)) > 0;
             total += static_cast<std::int64_t>(got)) {
          if (search) found += byteSearch(buffer.data(), got);
        }
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
      }
      std::printf("  pieces of %4zu KiB, %-22s %5.1f GB/s (%zu found)\n", piece >> 10,
                  search ? "read and searched:" : "read only:",
                  static_cast<double>(total) / best / 1e9, found);
    }
  }
}
