#include "ui/command_line.h"

#include <QCommandLineParser>
#include <QStringList>
#include <cstring>

namespace tarvel {

namespace {

constexpr char kUsageLine[] =
    "Usage: tarvel [--fullscreen] [--loop] [--free-windows] [--associate] [--no-associate]\n"
    "              [--version] [--help] [PATH...]\n";

// A usage error: what is wrong, the usage, and where to learn more.
std::string UsageError(const std::string& said) {
  return "tarvel: " + said + "\n" + kUsageLine + "Try 'tarvel --help' for more.\n";
}

}  // namespace

std::string UsageText() {
  return std::string(kUsageLine) +
         "Plays KQM6 movies (.kqm, .kqs) with a floating control panel. One PATH plays that\n"
         "movie, or that folder's movies; several movies and folders make a playlist, in the\n"
         "order given (a folder's movies in natural name order). Without PATH the player\n"
         "starts stopped.\n"
         "\n"
         "Options:\n"
         "  --fullscreen    show the first movie full screen\n"
         "  --loop          start with Loop Play on\n"
         "  --free-windows  let the windows move independently (not docked) for this run\n"
         "  --associate     open .kqm and .kqs files with tarvel, without asking\n"
         "  --no-associate  do not offer to open .kqm and .kqs files with tarvel\n"
         "  --version       print the version and exit\n"
         "  -h, --help      print this help and exit\n";
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine result;
  QCommandLineParser parser;
  // "-loop" is the long option, never the letters l, o, o, p.
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption full_screen(QStringLiteral("fullscreen"));
  const QCommandLineOption loop(QStringLiteral("loop"));
  const QCommandLineOption free_windows(QStringLiteral("free-windows"));
  const QCommandLineOption associate(QStringLiteral("associate"));
  const QCommandLineOption no_associate(QStringLiteral("no-associate"));
  const QCommandLineOption version(QStringLiteral("version"));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  parser.addOptions({full_screen, loop, free_windows, associate, no_associate, version, help});
  parser.addPositionalArgument(QStringLiteral("PATH"), QString(), QStringLiteral("[PATH...]"));

  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
  if (arguments.isEmpty()) arguments.append(QStringLiteral("tarvel"));
  if (!parser.parse(arguments)) {
    result.exit_code = 2;
    QString problem = parser.errorText();
    if (!problem.isEmpty()) problem[0] = problem[0].toLower();
    std::string said = problem.toStdString();
    // An unknown option is named as it was typed ('--sound', '-x'): the parser keeps it
    // without its dashes.
    if (!parser.unknownOptionNames().isEmpty()) {
      const std::string name = parser.unknownOptionNames().front().toStdString();
      for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string word(argv[i]);
        const std::string typed = word.substr(0, word.find('='));
        const std::size_t dashes = typed.find_first_not_of('-');
        if (dashes != 0 && dashes != std::string::npos && typed.substr(dashes) == name) {
          said = "unknown option '" + typed + "'";
          break;
        }
      }
    }
    result.errors = UsageError(said);
    return result;
  }
  if (parser.isSet(help)) {
    result.exit_code = 0;
    result.output = UsageText();
    return result;
  }
  if (parser.isSet(version)) {
    result.exit_code = 0;
    result.output = std::string("tarvel ") + TARVEL_VERSION + "\n";
    return result;
  }
  if (parser.isSet(associate) && parser.isSet(no_associate)) {
    result.exit_code = 2;
    result.errors =
        std::string("tarvel: --associate and --no-associate exclude each other\n") + kUsageLine;
    return result;
  }
  result.options.full_screen = parser.isSet(full_screen);
  result.options.loop = parser.isSet(loop);
  result.options.free_windows = parser.isSet(free_windows);
  result.options.associate = parser.isSet(associate);
  result.options.no_associate = parser.isSet(no_associate);

  // The parser has accepted every option: the paths are the other words, taken as the bytes
  // given so that names in any encoding reach the file system unchanged.
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (!options_end && std::strcmp(word, "--") == 0) {
      options_end = true;
    } else if (!options_end && std::strcmp(word, "-") == 0) {
      // A movie is read at any offset, which standard input does not allow (kqm says the same);
      // after "--" it is a file's name.
      result.exit_code = 2;
      result.errors =
          UsageError("PATH is '-', but movies are read from files, not from standard input");
      result.paths.clear();
      return result;
    } else if (options_end || word[0] != '-') {
      result.paths.emplace_back(word);
    }
  }
  return result;
}

}  // namespace tarvel
