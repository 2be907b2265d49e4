// The stream reader; being written.
#include "StreamReader.h"
