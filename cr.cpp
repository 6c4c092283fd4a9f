#include "lib/system/nconfig.h"

int main() { return 0; }
