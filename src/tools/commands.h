// The subcommands of `kqm`. Each takes the arguments after its own name (argv[0] is
// "kqm <name>") and returns the process exit status.
#pragma once

namespace tarvel::tools {

int Cmd_Info(int argc, char** argv);
int Cmd_Export(int argc, char** argv);
int Cmd_Play(int argc, char** argv);
int Cmd_Encode(int argc, char** argv);
int Cmd_Demo(int argc, char** argv);
int Cmd_Bench(int argc, char** argv);
int Cmd_Thumbnail(int argc, char** argv);

struct Command {
  const char* name;
  const char* summary;
  int (*run)(int argc, char** argv);
};

// Every subcommand, in the order `kqm --help` lists them.
inline constexpr Command kCommands[] = {
    {"info", "show a movie's header, frames, chunks and sound stream", Cmd_Info},
    {"export", "decode a movie's pictures and sound to files", Cmd_Export},
    {"play", "play a movie through the playback engine, aloud or captured", Cmd_Play},
    {"encode", "make a movie from a y4m video and an optional WAV sound", Cmd_Encode},
    {"demo", "write the built-in demo movie", Cmd_Demo},
    {"bench", "measure how fast this machine decodes a movie", Cmd_Bench},
    {"thumbnail", "write a small PNG picture of a movie, for file managers", Cmd_Thumbnail},
};

}  // namespace tarvel::tools
