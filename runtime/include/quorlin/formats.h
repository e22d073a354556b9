// Transcripts written out as quorlin.inference.formats writes them: "id<TAB>text" lines, JSON,
// plain text, SubRip (SRT) and WebVTT subtitles.
#pragma once

#include <string>
#include <vector>

#include "quorlin/recognizer.h"

namespace quorlin {

// One "id<TAB>text" line per transcript; an id or text holding a tab, newline or carriage
// return throws Error naming the transcript.
std::string format_tsv(const std::vector<Transcript>& transcripts);

// A JSON array of the transcripts with their segments and words; times rounded to milliseconds.
std::string format_json(const std::vector<Transcript>& transcripts);

// The text of one transcript, a segment per line.
std::string format_txt(const Transcript& transcript);

// Subtitles of one transcript: cues of at most two lines of 42 characters and 7 s, at its
// word times, never overlapping.
std::string format_srt(const Transcript& transcript);
std::string format_vtt(const Transcript& transcript);

}  // namespace quorlin
