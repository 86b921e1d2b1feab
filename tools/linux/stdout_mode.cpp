// Linux writes every stream as it is: nothing to switch.
#include "tools/stdout_mode.h"

void StdoutBinaryMode() {}
