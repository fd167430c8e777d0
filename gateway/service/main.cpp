#include "gateway/service/entry.h"

int main(int argc, char** argv) { return RunProgram(argc, argv); }
