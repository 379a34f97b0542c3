// The verbs, one file each; main.cpp holds their table and help texts.
#pragma once

#include <string>
#include <vector>

namespace cli {

int info(const std::vector<std::string> &words);
int check(const std::vector<std::string> &words);
int convert(const std::vector<std::string> &words);
int sample(const std::vector<std::string> &words);
int slice(const std::vector<std::string> &words);
int plot(const std::vector<std::string> &words);

} // namespace cli
