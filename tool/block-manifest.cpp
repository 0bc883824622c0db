#include "block-manifest.h"
