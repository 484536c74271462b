// The operating system's own tools that the wizard runs by name, and where this system keeps
// them. One is known: "convert", the command-line file-system converter, which here is our
// velundra-tontfs in the directory of the running executable. Names are never looked up in
// PATH (the convert found there is an image tool).
//
// Threads: any thread.
#pragma once

#include <string>

namespace platform {

// The path of the program a system tool's name stands for: for "convert" (letter case
// ignored) the file velundra-tontfs in the program directory, whether or not it is there;
// empty for any other name, and when the program directory cannot be told.
std::string SystemProgramPath(const std::string& name);

// The program directory: where the system tools are taken from. Normally the running
// executable's directory; tests point it at a directory of stand-ins and give an empty
// text to return to the executable's directory.
void SetSystemProgramDirectory(const std::string& directory);

}  // namespace platform
