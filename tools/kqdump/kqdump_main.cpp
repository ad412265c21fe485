#include "kqdump.h"

int main(int argc, char** argv) { return kqdump::Main(argc, argv); }
