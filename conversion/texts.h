#pragma once

#include "fits/messages.h"

#include <string>

// The program's own text of a line, with its line end where it has one: the one table of the
// wording that scripts know (the version line, "Reading ...", "rf:", "wf:", "kovrent: ...").
std::string programText(const Messages::Line& line);
