#pragma once

#include <string>

// "%18.12e" with the exponent written as a sign and three digits, the form every
// real header value takes: 1.5 gives "1.500000000000e+000".
std::string formatReal(double value);
