// The runtime library in a few lines: one recording, its segments and words with their times.
//
//     transcribe-example EXPORT_DIR RECORDING
#include <quorlin/recognizer.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s EXPORT_DIR RECORDING\n", argv[0]);
    return 2;
  }
  try {
    const quorlin::Recognizer recognizer(argv[1]);
    const quorlin::Transcript transcript = recognizer.transcribe_file(argv[2], recognizer.default_search(), "input");
    std::printf("%s (%.1f s): %s\n", argv[2], transcript.duration, transcript.text.c_str());
    for (const quorlin::Segment& segment : transcript.segments) {
      std::printf("%8.2f %8.2f  %s\n", segment.start, segment.end, segment.text.c_str());
      for (const quorlin::Word& word : segment.words)
        std::printf("                   %8.2f %8.2f  %s\n", word.start, word.end, word.text.c_str());
    }
  } catch (const quorlin::Error& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
    return 1;
  }
  return 0;
}
