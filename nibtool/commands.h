// nibtool's commands and the helpers they share.
#pragma once

#include <string>
#include <vector>

int runInfo(const std::vector<std::string>& args);
int runRender(const std::vector<std::string>& args);
int runImport(const std::vector<std::string>& args);
int runPlay(const std::vector<std::string>& args);
int runBank(const std::vector<std::string>& args);

extern const char* const kInfoUsage;
extern const char* const kRenderUsage;
extern const char* const kImportUsage;
extern const char* const kPlayUsage;
extern const char* const kBankUsage;

// Prints "nibtool: MESSAGE" on standard error; returns 1.
int fail(const std::string& message);
// Prints "nibtool COMMAND: MESSAGE" and a hint to COMMAND --help; returns 2.
int usageError(const std::string& command, const std::string& message);
// Parses a whole decimal number in [low, high].
bool parseNumber(const std::string& text, long low, long high, int& value);
bool parseNumber(const std::string& text, double low, double high, double& value);
