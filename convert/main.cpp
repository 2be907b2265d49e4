#include "ConvertJob.h"

int main(int argc, char **argv) { return ConvertMain(argc, argv); }
