// Program entry: the mode choice, console mode and EntryFunction.
#pragma once

#include <string>

class CService;

enum class RunMode { Install, Remove, Console, Service };

// The mode from the last character of the whole command line.
RunMode ChooseMode(const std::string& commandLine);

// Brings the gateway up: settings, file manager, listener, outbound engine.
void EntryFunction(CService* service);

// The program: returns the exit status (1 in every mode).
int RunProgram(int argc, char** argv);

