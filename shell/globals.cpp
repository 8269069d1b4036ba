// Host state shared by every subsystem, set up by host_main.
#include "binding/catalogue.h"
#include "binding/run_state.h"

int mute = 0;
int is_party_release = 0;
GuestSymbol *guest_symbols = nullptr;
GuestObject *guest_objects = nullptr;

const char guest_file_name[] = "lumox.exe";
const char *guest_argv[2] = {guest_file_name, nullptr};
