#pragma once
// The command line, mended before papplMainloop reads it: "-n COPIES" becomes the job's
// copies (PAPPL keeps -n under a name that its submit never sends).

#include <string>
#include <vector>

// The arguments to hand to papplMainloop (argv[0] first). False, with the reason in
// error, when the command cannot work as given.
bool PrepareCommandLine(int argc, char *argv[], std::vector<std::string> *args, std::string *error);
