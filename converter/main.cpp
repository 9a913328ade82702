// Ombrel ZENT Converter: turns one picture into a Pawn art include.
#include "converter/driver.h"

int main(int argc, char** argv) { return RunConverter(argc, argv); }
