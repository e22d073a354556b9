#include "text_reader.h"

#include <cstdio>

#include "npy_file.h"
#include "parallel_for.h"

namespace quorlin {

namespace {

// More than any transcript holds; it bounds what one file makes this allocate.
constexpr size_t kMaxTranscriptBytes = size_t(64) << 20;

template <typename Char>
void join_elements(const Char *items, size_t num_items, size_t chars_per_item, std::basic_string<Char> &out) {
    if (chars_per_item == 0) return;  // zero-width strings: as many as the header likes, all empty
    for (size_t i = 0; i < num_items; ++i) {
        const Char *item = items + i * chars_per_item;
        size_t len = chars_per_item;
        while (len > 0 && item[len - 1] == 0) --len;
        out.append(item, len);
    }
}

TextArray read_text(const std::string &path) {
    InputFile file(path);
    const NpyHeader h = read_npy_header(file);
    // No strings join to the empty transcript, whatever the dtype; an object
    // array's pickle, not its header, says what it holds.
    const bool empty = h.kind != 'O' && !h.shape.empty() && h.shape[0] == 0;
    if (h.kind == 0 || (!empty && h.kind != 'U' && h.kind != 'S' && h.kind != 'O'))
        throw FileFormatError(path, "unsupported transcript dtype " + quoted(h.descr) + " (unicode or byte strings expected)");
    TextArray text;
    if (empty) return text;
    if (h.shape.size() > 1)
        throw FileFormatError(path, "transcript array must be 0-d or 1-d, got shape " + shape_str(h.shape));
    if (h.data_size > kMaxTranscriptBytes)
        throw FileFormatError(path, "transcript data of " + std::to_string(h.data_size) + " bytes exceeds the limit of " +
                                        std::to_string(kMaxTranscriptBytes) + " bytes");

    if (h.kind == 'O') {
        text.kind = TextArray::Kind::Pickle;
        text.bytes.resize(h.data_size);
        file.read_at(text.bytes.data(), h.data_size, h.data_offset);
        return text;
    }
    if (h.kind == 'S') {
        std::string raw(h.data_size, '\0');
        file.read_at(raw.data(), h.data_size, h.data_offset);
        text.kind = TextArray::Kind::Bytes;
        join_elements(raw.data(), h.num_items, h.item_size, text.bytes);
        return text;
    }
    std::u32string units(h.data_size / 4, U'\0');
    file.read_at(units.data(), h.data_size, h.data_offset);
    if (h.swap_bytes) swap_item_bytes(units.data(), units.size(), 4);
    for (char32_t unit : units)
        if (unit > 0x10FFFF) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "U+%X", unsigned(unit));
            throw FileFormatError(path, std::string("transcript holds ") + hex + ", which is not a Unicode code point");
        }
    text.kind = TextArray::Kind::Unicode;
    join_elements(units.data(), h.num_items, h.item_size / 4, text.unicode);
    return text;
}

}  // namespace

std::vector<TextArray> read_text_arrays(const std::vector<std::string> &paths, size_t num_threads) {
    std::vector<TextArray> texts(paths.size());
    parallel_for(paths.size(), num_threads ? num_threads : 1, [&](size_t i) { texts[i] = read_text(paths[i]); });
    return texts;
}

}  // namespace quorlin
