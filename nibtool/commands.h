// nibtool's commands and the helpers they share.
#pragma once

#include <string>
#include <vector>

int runInfo(const std::vector<std::string>& args);
int runRender(const std::vector<std::string>& args);
int runImport(const std::vector<std::string>& args);
int runPlay(const std::vector<std::string>& args);
int runBank(const std::vector<std::string>& args);

// Prints "nibtool: MESSAGE" on standard error; returns 1.
int fail(const std::string& message);
