// The man pages' text, for tests that check a program's help against its page.
#pragma once

#include <string>
#include <vector>

namespace tarvel::test {

// packaging/<page> as a reader sees its words: roff's "\-" read as "-".
std::string ManPageWords(const std::string& page);

// True when `text` holds `option` as a whole word ("--loop" is not in "--loops").
bool MentionsOption(const std::string& text, const std::string& option);

// Every long option ("--name") that `help` mentions, in order, each once.
std::vector<std::string> LongOptions(const std::string& help);

}  // namespace tarvel::test
