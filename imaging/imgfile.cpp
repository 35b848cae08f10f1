// Picture files through Qt's image readers (declared in imgfile.h).

#include "imgfile.h"
