// The program's parameters: source paths separated by ";" in the first parameter, the
// destination folder in the second, more sources after. The same rule reads the
// program's own arguments and the text a later start hands over.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CDownloaderCommandLineInfo {
 public:
  // Applies the parameter rule to one parameter; the two flags are accepted for the
  // caller's information and do not change the rule. The parameter ends at a zero byte,
  // and a source left holding a double quote is dropped.
  void ParseParam(std::string_view param, bool isSwitch, bool isLast);

  // Splits `text` at every `separator` and appends the pieces, trimmed of blanks, tabs
  // and line ends, that are not empty. The search resumes one character past the
  // separator's start, so a piece after a longer separator keeps its tail.
  static void SplitList(std::string_view text, std::string_view separator,
                        std::vector<std::string>& list);

  // The program's own command line, split by the platform's argument rules (the program
  // name is skipped).
  static CDownloaderCommandLineInfo FromCommandLine(const wchar_t* commandLine);

  // A hand-off text (up to its first zero byte), read as the program reads its own
  // command line: split into arguments by the platform's rules, then the parameter rule
  // for each. A text gives the same sources and folder whichever instance reads it.
  static CDownloaderCommandLineInfo FromHandOffText(std::string_view text);
  // `parameter` as one argument in double quotes that the platform's splitter gives
  // back unchanged (backslashes before a quote doubled, quotes escaped).
  static std::string QuoteArgument(std::string_view parameter);

  // The command line after the program name and the blanks that follow it, as UTF-8:
  // what a later start hands to the running one.
  static std::string RawArguments(const wchar_t* commandLine);

  std::vector<std::string> m_files;
  std::string m_folder;
  int m_paramCount = 0;
};
