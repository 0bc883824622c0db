// Implementation of libquillonvarde_sdk.
#include "Quillonvarde_sdk_impl.h"
