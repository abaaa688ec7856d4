#include "zuv/notebook/json_reader.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "py/error.hpp"
#include "py/names.hpp"
#include "zuv/notebook/byte_words.hpp"
#include "zuv/notebook/py_text.hpp"

namespace zuv::cli {

namespace {

using Spans = std::unordered_map<const PyObject*, std::string_view>;

// Containers whose text is shorter are read again rather than looked up.
constexpr size_t kShortestSpan = 64;

// Notebooks nest about a dozen levels; a deeper text goes to json, which
// stops at the interpreter's recursion limit and says so.
constexpr int kDepthBound = 200;

// A quote, a backslash or a control character: where a plain run of string
// text ends.
constexpr uint64_t plain_run_ends(uint64_t word) {
  return words::bytes_equal(word, '"') | words::bytes_equal(word, '\\') |
         words::bytes_below(word, 0x20);
}

constexpr uint64_t kEightSpaces = words::kOnes * ' ';

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What a one-letter escape stands for; 0: not one ('u' is read apart).
constexpr std::array<char, 128> kEscapes = [] {
  std::array<char, 128> table{};
  table['"'] = '"';
  table['\\'] = '\\';
  table['/'] = '/';
  table['b'] = '\b';
  table['f'] = '\f';
  table['n'] = '\n';
  table['r'] = '\r';
  table['t'] = '\t';
  return table;
}();

// The unescaped text of a string, in one buffer kept from string to string.
class Unescaped {
 public:
  void clear() { size_ = 0; }
  void append(const char* from, size_t count) {
    if (count == 0) return;  // `from` may be the end of the text, `data_` still empty
    room(count);
    std::memcpy(data_.data() + size_, from, count);
    size_ += count;
  }
  void push(char c) {
    room(1);
    data_[size_++] = c;
  }
  std::string_view view() const { return {data_.data(), size_}; }

 private:
  std::vector<char> data_;
  size_t size_ = 0;
  void room(size_t more) {
    if (size_ + more > data_.size()) data_.resize(std::max<size_t>(256, 2 * (size_ + more)));
  }
};

uint64_t text_hash(std::string_view text) {
  uint64_t hash = 0x9E3779B97F4A7C15ULL ^ text.size();
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    hash = (std::rotl(hash, 23) ^ word) * 0xFF51AFD7ED558CCDULL;
  }
  uint64_t tail = 0;
  if (i < text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);
  hash = (std::rotl(hash, 23) ^ tail) * 0xC4CEB9FE1A85EC53ULL;
  return hash ^ (hash >> 29);
}

bool holds(PyObject* str, std::string_view text) {
  return static_cast<size_t>(PyUnicode_GET_LENGTH(str)) == text.size() &&
         (text.empty() || std::memcmp(PyUnicode_1BYTE_DATA(str), text.data(), text.size()) == 0);
}

PyObject* ascii_str(std::string_view text) {
  PyObject* made = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (made && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(made), text.data(), text.size());
  return made;
}

// Keys read so far, found by their text: json shares one str per key too,
// and a notebook has few distinct keys.  Holds a reference to each.
class KeyStrings {
 public:
  KeyStrings() = default;
  ~KeyStrings() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.str);
  }
  KeyStrings(const KeyStrings&) = delete;
  KeyStrings& operator=(const KeyStrings&) = delete;

  // A new reference to the str of `text` (ASCII), made if it is not kept
  // yet; null with the exception set when it cannot be made.
  PyObject* str(std::string_view text) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const uint64_t hash = text_hash(text);
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (!slot.str) {
        // A key the package has a name for becomes that name itself.
        PyObject* known = known_name(text);
        PyObject* made = known ? Py_NewRef(known) : ascii_str(text);
        if (!made) return nullptr;
        slot = {hash, made};
        ++used_;
        return Py_NewRef(made);
      }
      if (slot.hash == hash && holds(slot.str, text)) return Py_NewRef(slot.str);
    }
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    PyObject* str = nullptr;  // owned
  };
  std::vector<Slot> slots_;  // open addressing, a power of two long
  size_t used_ = 0;

  void grow() {
    std::vector<Slot> kept(std::max<size_t>(64, 2 * slots_.size()));
    kept.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : kept) {
      if (!slot.str) continue;
      size_t i = slot.hash & mask;
      while (slots_[i].str) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }
};

// One reading.  A step that cannot go on returns nullptr: `failed_` tells an
// interpreter failure (exception set) from a text left to json (nothing set).
class Reader {
 public:
  // `like` (borrowed): the base version's document and the spans of its
  // containers; `record`: where to record this document's spans, if any.
  Reader(std::string_view text, PyObject* like, const Spans* like_spans, Spans* record)
      : at_(text.data()),
        end_(text.data() + text.size()),
        like_(like),
        like_spans_(like_spans),
        record_(record) {}
  ~Reader() {
    for (PyObject* item : items_) Py_XDECREF(item);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  NativeRead document(Ref& out) {
    skip_space();
    if (at_ == end_ || *at_ != '{') return NativeRead::declined;
    Ref root = Ref::steal(value(0, like_));
    if (root) skip_space();
    if (!root || at_ != end_) return failed_ ? NativeRead::failed : NativeRead::declined;
    out = std::move(root);
    return NativeRead::read;
  }

 private:
  const char* at_;
  const char* const end_;
  PyObject* const like_;
  const Spans* const like_spans_;
  Spans* const record_;
  bool failed_ = false;
  // The items of the arrays being read, innermost last; owned.
  std::vector<PyObject*> items_;
  KeyStrings keys_;
  Unescaped unescaped_;

  PyObject* failure() {
    failed_ = true;
    return nullptr;
  }

  void skip_space() {
    // Runs of spaces (an indented file's line starts) eight bytes at a time.
    while (end_ - at_ >= 8) {
      const uint64_t other = words::nonzero_bytes(words::load(at_) ^ kEightSpaces);
      if (!other) {
        at_ += 8;
        continue;
      }
      at_ += words::bytes_before(other);
      if (!is_space(*at_)) return;
      ++at_;  // a line end or a tab
    }
    while (at_ < end_ && is_space(*at_)) ++at_;
  }

  bool take(char c) {
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }

  PyObject* constant(std::string_view word, PyObject* object) {
    if (static_cast<size_t>(end_ - at_) < word.size() ||
        std::memcmp(at_, word.data(), word.size()) != 0)
      return nullptr;
    at_ += word.size();
    return Py_NewRef(object);
  }

  // The value at `at_`; `like` (borrowed, or null) is the value at the same
  // place in the document read before, whose equal strings are taken.
  PyObject* value(int depth, PyObject* like) {
    if (at_ == end_) return nullptr;
    switch (*at_) {
      case '{':
        if (like && PyDict_CheckExact(like)) {
          if (same_text(like)) return copy(like);
          return object(depth + 1, like);
        }
        return object(depth + 1, nullptr);
      case '[':
        if (like && PyList_CheckExact(like)) {
          if (same_text(like)) return copy(like);
          return array(depth + 1, like);
        }
        return array(depth + 1, nullptr);
      case '"':
        ++at_;
        return string(false, like && PyUnicode_CheckExact(like) ? like : nullptr);
      case 'n':
        return constant("null", Py_None);
      case 't':
        return constant("true", Py_True);
      case 'f':
        return constant("false", Py_False);
      default:  // NaN, Infinity and -Infinity too: json gives one object each
        return number();
    }
  }

  // The length of the base's text of container `like` where the text at
  // `at_` starts with it (then it holds the same value), else 0: a
  // container's text is never empty.
  size_t same_text_length(PyObject* like) const {
    if (!like || !like_spans_) return 0;
    const auto found = like_spans_->find(like);
    if (found == like_spans_->end()) return 0;
    const std::string_view text = found->second;
    if (static_cast<size_t>(end_ - at_) < text.size() ||
        std::memcmp(at_, text.data(), text.size()) != 0)
      return 0;
    return text.size();
  }

  // same_text_length, the text passed where it matched.
  bool same_text(PyObject* like) {
    const size_t length = same_text_length(like);
    at_ += length;
    return length > 0;
  }

  // A copy of a base container: its containers copied (the merge changes
  // a version's containers in place), everything else shared.
  PyObject* copy(PyObject* value) {
    if (PyDict_CheckExact(value)) {
      Ref dict = Ref::steal(PyDict_Copy(value));
      if (!dict) return failure();
      PyObject *key, *item;
      Py_ssize_t position = 0;
      // Exact dicts, str keys: no Python code runs while these are walked.
      while (PyDict_Next(value, &position, &key, &item)) {
        if (!PyDict_CheckExact(item) && !PyList_CheckExact(item)) continue;
        Ref copied = Ref::steal(copy(item));
        if (!copied) return nullptr;
        if (PyDict_SetItem(dict.get(), key, copied.get()) != 0) return failure();
      }
      return dict.release();
    }
    if (PyList_CheckExact(value)) {
      const Py_ssize_t size = PyList_GET_SIZE(value);
      Ref list = Ref::steal(PyList_New(size));
      if (!list) return failure();
      for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* copied = copy(PyList_GET_ITEM(value, i));
        if (!copied) return nullptr;
        PyList_SET_ITEM(list.get(), i, copied);
      }
      return list.release();
    }
    return Py_NewRef(value);
  }

  // Records where a container just read sits in the text.
  void record(PyObject* container, const char* start) {
    if (record_ && static_cast<size_t>(at_ - start) >= kShortestSpan)
      record_->emplace(container, std::string_view(start, static_cast<size_t>(at_ - start)));
  }

  PyObject* object(int depth, PyObject* like) {
    if (depth > kDepthBound) return nullptr;
    const char* const start = at_;
    ++at_;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return failure();
    skip_space();
    if (take('}')) return dict.release();
    for (;;) {
      if (!take('"')) return nullptr;
      Ref key = Ref::steal(string(true, nullptr));
      if (!key) return nullptr;
      // An exact dict and a str key: the lookup runs no Python code.
      PyObject* like_item = like ? PyDict_GetItemWithError(like, key.get()) : nullptr;
      if (!like_item && PyErr_Occurred()) return failure();
      skip_space();
      if (!take(':')) return nullptr;
      skip_space();
      Ref item = Ref::steal(value(depth, like_item));
      if (!item) return nullptr;
      // A repeated key keeps its first place and takes the last value.
      if (PyDict_SetItem(dict.get(), key.get(), item.get()) != 0) return failure();
      skip_space();
      if (take('}')) {
        record(dict.get(), start);
        return dict.release();
      }
      if (!take(',')) return nullptr;
      skip_space();
    }
  }

  // The base's item for item `index` of a list whose base is `like`: the
  // one `shift` places on, or a near one whose text is the one at `at_`
  // (cells added or deleted before it move the rest), `shift` then updated.
  PyObject* aligned_like(PyObject* like, Py_ssize_t index, Py_ssize_t& shift) const {
    const Py_ssize_t size = PyList_GET_SIZE(like);
    auto item = [&](Py_ssize_t i) {
      return i >= 0 && i < size ? PyList_GET_ITEM(like, i) : nullptr;
    };
    PyObject* guess = item(index + shift);
    if (!like_spans_ || at_ == end_ || (*at_ != '{' && *at_ != '[') || same_text_length(guess) > 0)
      return guess;
    for (Py_ssize_t step : {1, -1, 2, -2, 3, -3}) {
      if (PyObject* near = item(index + shift + step); same_text_length(near) > 0) {
        shift += step;
        return near;
      }
    }
    return guess;
  }

  PyObject* array(int depth, PyObject* like) {
    if (depth > kDepthBound) return nullptr;
    const char* const start = at_;
    ++at_;
    const size_t first = items_.size();
    Py_ssize_t shift = 0;
    skip_space();
    if (!take(']')) {
      for (;;) {
        const auto index = static_cast<Py_ssize_t>(items_.size() - first);
        items_.push_back(nullptr);  // the slot first: nothing is lost if it cannot grow
        PyObject* item = value(depth, like ? aligned_like(like, index, shift) : nullptr);
        items_.back() = item;
        if (!item) return nullptr;
        skip_space();
        if (take(']')) break;
        if (!take(',')) return nullptr;
        skip_space();
      }
    }
    const size_t count = items_.size() - first;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (!list) return failure();
    for (size_t i = 0; i < count; ++i)
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items_[first + i]);
    items_.resize(first);
    Ref made = Ref::steal(list);
    record(made.get(), start);
    return made.release();
  }

  // From `from`, the first byte that ends a plain run of string text (or
  // the end); the bytes passed are or-ed into `seen`.
  const char* plain_run(const char* from, uint64_t& seen) const {
    const char* p = from;
    for (; end_ - p >= 8; p += 8) {
      const uint64_t word = words::load(p);
      if (uint64_t ends = plain_run_ends(word)) {
        const int before = words::bytes_before(ends);
        seen |= before ? word & (~uint64_t{0} >> (64 - 8 * before)) : 0;
        return p + before;
      }
      seen |= word;
    }
    for (; p < end_; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      if (c == '"' || c == '\\' || c < 0x20) return p;
      seen |= c;
    }
    return p;
  }

  // A str of UTF-8 text, `ascii` or not: `like` where it holds that text, a
  // key's from `keys_`, else a new one; declined
  // where it is not UTF-8 (decoding the whole file reports that).
  PyObject* make_str(std::string_view text, bool ascii, bool is_key, PyObject* like) {
    if (ascii && like && PyUnicode_IS_COMPACT_ASCII(like) && holds(like, text))
      return Py_NewRef(like);
    if (ascii) {
      PyObject* made = is_key ? keys_.str(text) : ascii_str(text);
      return made ? made : failure();
    }
    PyObject* made =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (made) return made;
    return clear_expected({PyExc_UnicodeDecodeError}) ? nullptr : failure();
  }

  // A string's text, the opening quote read; `like` is taken when it holds
  // the same text.
  PyObject* string(bool is_key, PyObject* like) {
    uint64_t seen = 0;
    const char* stop = plain_run(at_, seen);
    if (stop == end_ || *stop != '"') return escaped_string(stop, seen, is_key, like);
    std::string_view text(at_, static_cast<size_t>(stop - at_));
    at_ = stop + 1;
    return make_str(text, (seen & words::kHighBits) == 0, is_key, like);
  }

  bool hex4(uint32_t& code) {
    if (end_ - at_ < 4) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = hex_value(at_[i]);
      if (digit < 0) return false;
      code = code << 4 | static_cast<uint32_t>(digit);
    }
    at_ += 4;
    return true;
  }

  // A string with escapes, the opening quote read and its plain text up to
  // `stop` scanned: unescaped into UTF-8 first.  A surrogate escape is taken
  // only as half of a pair.
  PyObject* escaped_string(const char* stop, uint64_t seen, bool is_key, PyObject* like) {
    unescaped_.clear();
    unescaped_.append(at_, static_cast<size_t>(stop - at_));
    at_ = stop;
    while (at_ < end_ && *at_ == '\\') {  // else the closing quote, or no JSON
      if (end_ - at_ < 2) return nullptr;
      const auto escape = static_cast<unsigned char>(at_[1]);
      at_ += 2;
      if (escape == 'u') {
        uint32_t code;
        if (!hex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) return nullptr;
        if (code >= 0xD800 && code <= 0xDBFF) {
          uint32_t low;
          if (!take('\\') || !take('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
            return nullptr;
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (code < 0x80) {
          unescaped_.push(static_cast<char>(code));
        } else {
          seen |= 0x80;
          std::string bytes;  // at most four: no allocation
          append_utf8(bytes, code);
          unescaped_.append(bytes.data(), bytes.size());
        }
      } else if (escape < kEscapes.size() && kEscapes[escape]) {
        unescaped_.push(kEscapes[escape]);
      } else {
        return nullptr;
      }
      stop = plain_run(at_, seen);
      unescaped_.append(at_, static_cast<size_t>(stop - at_));
      at_ = stop;
    }
    if (!take('"')) return nullptr;
    return make_str(unescaped_.view(), (seen & words::kHighBits) == 0, is_key, like);
  }

  PyObject* number() {
    const char* p = at_;
    if (p < end_ && *p == '-') ++p;
    if (p == end_ || !is_digit(*p)) return nullptr;
    if (*p++ != '0')
      while (p < end_ && is_digit(*p)) ++p;
    bool is_float = false;
    if (end_ - p >= 2 && p[0] == '.' && is_digit(p[1])) {
      is_float = true;
      for (p += 2; p < end_ && is_digit(*p);) ++p;
    }
    if (p < end_ && (*p == 'e' || *p == 'E')) {
      // An exponent needs a digit; without one the 'e' is not the number's.
      const char* q = p + 1;
      if (q < end_ && (*q == '+' || *q == '-')) ++q;
      const char* digits = q;
      while (q < end_ && is_digit(*q)) ++q;
      if (q > digits) {
        is_float = true;
        p = q;
      }
    }
    const std::string text(at_, p);
    at_ = p;
    if (!is_float && text.size() <= 18) {  // fits in 63 bits
      long long whole = 0;
      for (char c : text)
        if (c != '-') whole = whole * 10 + (c - '0');
      PyObject* made = PyLong_FromLongLong(text[0] == '-' ? -whole : whole);
      return made ? made : failure();
    }
    if (!is_float) {  // past the digit limit json reports the ValueError
      PyObject* made = PyLong_FromString(text.c_str(), nullptr, 10);
      if (made) return made;
      return clear_expected({PyExc_ValueError}) ? nullptr : failure();
    }
    double parsed = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
    if (parsed == -1.0 && PyErr_Occurred())
      return clear_expected({PyExc_ValueError}) ? nullptr : failure();
    PyObject* made = PyFloat_FromDouble(parsed);
    return made ? made : failure();
  }
};

}  // namespace

NativeRead read_json(std::string_view text, Ref& document, ReadBase* base) {
  try {
    inject_cxx_exception("read_json");
    const bool first = base && !base->document;
    PyObject* const like = base && !first ? base->document.get() : nullptr;
    Reader reader(text, like, like ? &base->spans : nullptr, first ? &base->spans : nullptr);
    const NativeRead outcome = reader.document(document);
    if (first && outcome == NativeRead::read) base->document = document;
    return outcome;
  } catch (const std::bad_alloc&) {  // a buffer of the reader's own could not grow
    PyErr_NoMemory();
    return NativeRead::failed;
  }
}

}  // namespace zuv::cli
