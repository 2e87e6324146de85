#ifndef COMMANDLINE_H
#define COMMANDLINE_H

// The Windows command-line rules, as CommandLineToArgvW and the C runtime
// apply them to the arguments after the program name. A shortcut stores its
// arguments as one such text; the updater builds the text with these
// functions, and on Linux turns it back into separate arguments with the
// same rules, so one text means the same arguments on both systems.
//
// Standard C++ only, so that the rules can be checked against the real
// Windows parser (tests/platform/wincheck.cpp).

#include <string>
#include <vector>

namespace commandline {

// The text to put between two double quotes so that the parser gives back
// argument unchanged: a quote becomes \", and backslashes are doubled where
// they stand before a quote or before the closing quote.
std::wstring escapeQuoted(const std::wstring &argument);

// argument as it stands when it needs no quotes (not empty, no blank, tab,
// line break or quote), otherwise wrapped in quotes around escapeQuoted.
std::wstring quoteArgument(const std::wstring &argument);

// Splits a text into arguments: blanks and tabs separate outside quotes; a
// quote toggles quoting; 2n backslashes before a quote give n backslashes and
// the quote toggles, 2n+1 give n backslashes and a literal quote; other
// backslashes are literal; inside quotes a doubled quote gives one quote and
// ends the quoted stretch.
std::vector<std::wstring> split(const std::wstring &text);

} // namespace commandline

#endif // COMMANDLINE_H
