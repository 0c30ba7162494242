// Version banner and help text of the tool.
#pragma once

#include <string>

// The five-line version banner, each line ending in '\n'.
std::string versionBannerText();
// The whole help text, as printed by -h.
std::string helpText();

void softPrintVersion();
void softPrintHelp();
