#include "json/rerender.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

#include "json/reader.h"
#include "json/writer.h"

namespace vardimont::json {

namespace {

// A sink that writes the compact text while the input is parsed. Scalars and
// arrays go straight to the output; an object's entries are written in
// document order and, when that order is not already strictly ascending,
// rearranged once the object closes. So no document tree is built and the
// common case (sorted keys, no repeats) costs one pass.
class SortedRenderer {
 public:
  bool null_value() {
    before_value();
    out_ += "null";
    return true;
  }
  bool bool_value(bool v) {
    before_value();
    out_ += v ? "true" : "false";
    return true;
  }
  bool int_value(std::int64_t v) {
    before_value();
    write_int(out_, v);
    return true;
  }
  bool uint_value(std::uint64_t v) {
    before_value();
    write_uint(out_, v);
    return true;
  }
  bool double_value(double v) {
    before_value();
    write_double(out_, v, ExponentSign::MinusOnly);
    return true;
  }
  bool string_value(std::string_view s) {
    before_value();
    write_string(out_, s);
    return true;
  }
  bool begin_array() {
    before_value();
    out_ += '[';
    frames_.push_back(Frame{false, 0, 0, 0});
    return true;
  }
  bool end_array() {
    frames_.pop_back();
    out_ += ']';
    return true;
  }
  bool begin_object() {
    before_value();
    out_ += '{';
    frames_.push_back(Frame{true, 0, entries_.size(), out_.size()});
    return true;
  }
  bool key(std::string_view k) {
    Frame& f = frames_.back();
    if (f.count++ > 0) {
      entries_.back().end = out_.size();
      out_ += ',';
    }
    entries_.push_back(Entry{keys_.size(), k.size(), out_.size(), 0});
    keys_.append(k);
    write_string(out_, k);
    out_ += ':';
    return true;
  }
  bool end_object() {
    const Frame f = frames_.back();
    frames_.pop_back();
    if (f.count > 0) {
      entries_.back().end = out_.size();
      sort_entries(f);
      keys_.resize(entries_[f.first_entry].key_offset);
      entries_.resize(f.first_entry);
    }
    out_ += '}';
    return true;
  }
  std::string error_message() { return {}; }  // never fails

  std::string take() && { return std::move(out_); }

 private:
  struct Frame {
    bool object;
    std::size_t count;        // items or entries so far
    std::size_t first_entry;  // objects: index of the first entry in entries_
    std::size_t content_begin;  // objects: offset in out_ just after the brace
  };
  struct Entry {
    std::size_t key_offset;  // unescaped key in keys_
    std::size_t key_size;
    std::size_t begin;  // "key":value in out_, comma excluded
    std::size_t end;
  };

  void before_value() {
    if (frames_.empty()) return;
    Frame& f = frames_.back();
    if (!f.object && f.count++ > 0) out_ += ',';
  }

  std::string_view key_of(const Entry& e) const { return std::string_view(keys_).substr(e.key_offset, e.key_size); }

  // Rewrites the object's entries (all written since f.content_begin) in
  // ascending byte order of their keys, keeping the last of equal keys.
  void sort_entries(const Frame& f) {
    const std::size_t first = f.first_entry;
    const std::size_t n = entries_.size() - first;
    bool ascending = true;
    for (std::size_t i = first + 1; i < entries_.size() && ascending; ++i) {
      ascending = key_of(entries_[i - 1]) < key_of(entries_[i]);
    }
    if (ascending) return;

    order_.resize(n);
    for (std::size_t i = 0; i < n; ++i) order_[i] = first + i;
    std::stable_sort(order_.begin(), order_.end(),
                     [this](std::size_t a, std::size_t b) { return key_of(entries_[a]) < key_of(entries_[b]); });
    sorted_.clear();
    for (std::size_t i = 0; i < n; ++i) {
      // Of a run of equal keys the last in document order is the last of the run.
      if (i + 1 < n && key_of(entries_[order_[i]]) == key_of(entries_[order_[i + 1]])) continue;
      if (!sorted_.empty()) sorted_ += ',';
      const Entry& e = entries_[order_[i]];
      sorted_.append(out_, e.begin, e.end - e.begin);
    }
    out_.resize(f.content_begin);
    out_ += sorted_;
  }

  std::string out_;
  std::vector<Frame> frames_;
  std::vector<Entry> entries_;  // of every open object, outermost first
  std::string keys_;
  std::vector<std::size_t> order_;
  std::string sorted_;
};

}  // namespace

std::optional<std::string> rerender_sorted(std::span<const std::uint8_t> text) {
  SortedRenderer renderer;
  if (!parse(text, renderer, Trailing::WhitespaceOnly)) return std::nullopt;
  return std::move(renderer).take();
}

}  // namespace vardimont::json
