#include "quorlin/formats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "alignment.h"
#include "json.h"
#include "text.h"

namespace quorlin {
namespace {

// A cue is read at a glance: at most two lines of 42 characters, shown for at most 7 s.
constexpr size_t kMaxLineChars = 42, kMaxLines = 2;
constexpr double kMaxCueSeconds = 7.0;

struct Cue {
  double start, end;
  std::string text;  // lines joined by "\n"
};

// textwrap.wrap(" ".join(words), 42, break_long_words=False, break_on_hyphens=False): lines
// filled greedily, a word longer than a line alone on its own.
std::vector<std::string> lines(const std::vector<Word>& words) {
  std::vector<std::string> out;
  std::string line;
  size_t length = 0;
  for (const Word& word : words) {
    const size_t n = to_code_points(word.text).size();
    if (!line.empty() && length + 1 + n <= kMaxLineChars) {
      line += " " + word.text;
      length += 1 + n;
    } else {
      if (!line.empty()) out.push_back(line);
      line = word.text;
      length = n;
    }
  }
  if (!line.empty()) out.push_back(line);
  return out;
}

std::string joined_lines(const std::vector<Word>& words) {
  std::string out;
  for (const std::string& line : lines(words)) out += (out.empty() ? "" : "\n") + line;
  return out;
}

std::vector<Cue> segment_cues(const Segment& segment) {
  std::vector<Word> words;
  for (const Word& word : segment.words)
    if (!is_blank(word.text)) words.push_back(word);
  if (words.empty()) words = spread_words(split_words(segment.text), segment.start, segment.end);
  for (Word& word : words) {
    word.start = std::min(std::max(word.start, segment.start), segment.end);
    word.end = std::min(std::max(word.end, segment.start), segment.end);
  }
  std::vector<std::vector<Word>> groups;
  for (const Word& word : words) {
    if (!groups.empty() && word.end - groups.back().front().start <= kMaxCueSeconds) {
      std::vector<Word> longer = groups.back();
      longer.push_back(word);
      if (lines(longer).size() <= kMaxLines) {
        groups.back() = std::move(longer);
        continue;
      }
    }
    groups.push_back({word});
  }
  std::vector<Cue> cues;
  for (size_t i = 0; i < groups.size(); ++i) {
    const double start = groups[i].front().start;
    const double until = i + 1 < groups.size() ? groups[i + 1].front().start : segment.end;
    const double end = std::max(groups[i].back().end, std::min(until, start + kMaxCueSeconds));
    cues.push_back({start, end, joined_lines(groups[i])});
  }
  return cues;
}

// The transcript's cues, in order and within [0, duration].
std::vector<Cue> subtitle_cues(const Transcript& transcript) {
  std::vector<Cue> cues;
  for (const Segment& segment : transcript.segments) {
    for (const Cue& cue : segment_cues(segment)) {
      const double start = std::min(std::max(cue.start, cues.empty() ? 0.0 : cues.back().end), transcript.duration);
      cues.push_back({start, std::min(std::max(cue.end, start), transcript.duration), cue.text});
    }
  }
  return cues;
}

std::string timestamp(double seconds, char separator) {
  auto ms = static_cast<int64_t>(std::nearbyint(seconds * 1000));
  const int64_t hours = ms / 3600000;
  ms %= 3600000;
  const int64_t minutes = ms / 60000;
  ms %= 60000;
  char text[48];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%03lld", static_cast<long long>(hours),
                static_cast<long long>(minutes), static_cast<long long>(ms / 1000), separator,
                static_cast<long long>(ms % 1000));
  return text;
}

std::string vtt_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

// Seconds rounded to milliseconds, as round(seconds, 3) gives them, in JSON.
std::string json_ms(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return json_number(std::strtod(text, nullptr));
}

}  // namespace

std::string format_tsv(const std::vector<Transcript>& transcripts) {
  std::string out;
  for (const Transcript& t : transcripts) {
    for (const auto& [what, value] : {std::pair<const char*, const std::string*>{"id", &t.id}, {"text", &t.text}}) {
      if (value->find_first_of("\t\n\r") != std::string::npos)
        throw Error("transcript " + python_repr(t.id) + ": its " + what + " holds a tab, newline or carriage " +
                    "return, which a line cannot hold: " + python_repr(*value));
    }
    out += t.id + "\t" + t.text + "\n";
  }
  return out;
}

std::string format_json(const std::vector<Transcript>& transcripts) {
  // The layout of json.dumps(..., ensure_ascii=False, indent=2).
  std::string out;
  const auto list = [&](size_t count, int indent, const auto& item) {
    if (count == 0) {
      out += "[]";
      return;
    }
    out += "[";
    for (size_t i = 0; i < count; ++i) {
      out += (i ? ",\n" : "\n") + std::string(indent + 2, ' ');
      item(i, indent + 2);
    }
    out += "\n" + std::string(indent, ' ') + "]";
  };
  const auto object = [&](int indent, const std::vector<std::pair<std::string, std::string>>& scalars,
                          const char* list_key, const auto& write_list) {
    out += "{";
    for (size_t i = 0; i < scalars.size(); ++i)
      out += (i ? ",\n" : "\n") + std::string(indent + 2, ' ') + json_string(scalars[i].first) + ": " +
             scalars[i].second;
    if (list_key) {
      out += ",\n" + std::string(indent + 2, ' ') + json_string(list_key) + ": ";
      write_list(indent + 2);
    }
    out += "\n" + std::string(indent, ' ') + "}";
  };
  const auto none = [](int) {};
  list(transcripts.size(), 0, [&](size_t i, int indent) {
    const Transcript& t = transcripts[i];
    object(indent,
           {{"id", json_string(t.id)}, {"text", json_string(t.text)}, {"duration", json_ms(t.duration)},
            {"error", t.error ? json_string(*t.error) : "null"}},
           "segments", [&](int at) {
             list(t.segments.size(), at, [&](size_t j, int segment_indent) {
               const Segment& s = t.segments[j];
               object(segment_indent,
                      {{"start", json_ms(s.start)}, {"end", json_ms(s.end)}, {"text", json_string(s.text)}}, "words",
                      [&](int words_at) {
                        list(s.words.size(), words_at, [&](size_t k, int word_indent) {
                          const Word& w = s.words[k];
                          object(word_indent,
                                 {{"start", json_ms(w.start)}, {"end", json_ms(w.end)}, {"text", json_string(w.text)}},
                                 nullptr, none);
                        });
                      });
             });
           });
  });
  return out + "\n";
}

std::string format_txt(const Transcript& transcript) {
  std::string out;
  for (const Segment& segment : transcript.segments)
    if (!segment.text.empty()) out += segment.text + "\n";
  return out;
}

std::string format_srt(const Transcript& transcript) {
  std::string out;
  size_t n = 0;
  for (const Cue& c : subtitle_cues(transcript))
    out += std::to_string(++n) + "\n" + timestamp(c.start, ',') + " --> " + timestamp(c.end, ',') + "\n" + c.text +
           "\n\n";
  return out;
}

std::string format_vtt(const Transcript& transcript) {
  std::string out = "WEBVTT\n\n";
  for (const Cue& c : subtitle_cues(transcript))
    out += timestamp(c.start, '.') + " --> " + timestamp(c.end, '.') + "\n" + vtt_escape(c.text) + "\n\n";
  return out;
}

}  // namespace quorlin
