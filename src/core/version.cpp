#include "quelmar/version.hpp"

extern "C" {
const double quelmarVersionNumber = 7.0;
const unsigned char quelmarVersionString[] = "@(#)PROGRAM:quelmar  PROJECT:quelmar-7.0.5\n";
}
