// Where the per-user and machine-wide state of the system lives. Both are
// read from the environment on every call and nothing is created by asking.
#pragma once

#include <filesystem>

// ${XDG_DATA_HOME:-$HOME/.local/share}/npsigil (a relative XDG_DATA_HOME is
// ignored, as the XDG rules say). Empty when no home folder is known.
std::filesystem::path UserStateRoot();

// ${NPSIGIL_MACHINE_ROOT:-/var/lib/npsigil}.
std::filesystem::path MachineStateRoot();

// $HOME, else the password database's entry; empty when neither is known.
std::filesystem::path HomeFolder();
