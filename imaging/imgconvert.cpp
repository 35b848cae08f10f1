// Conversions between element kinds (declared in imgkernel.h).

#include "imgkernel.h"
