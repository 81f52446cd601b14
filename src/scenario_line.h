// One line of a scenario, split into words, made into a checked step.
#pragma once

#include "scenario_format.h"

#include <string>
#include <vector>

// Makes the words of a line (tokenize) into the step `s`, putting its keys, checks or text into
// `into`'s lists; returns what is wrong with the line, or an empty string. Words of the line that
// an error quotes are escaped and cut.
std::string parse_step(const std::vector<token>& t, step& s, scenario_steps& into);
