// Host state shared by every subsystem, set up by host_main.
#include "binding/catalogue.h"
#include "binding/run_state.h"

int mute = 0;
int is_party_release = 0;
GuestSymbol *guest_symbols = nullptr;
GuestObject *guest_objects = nullptr;
uint32_t guest_object_count = 0;

const char guest_file_name[] = "lumox.exe";
const char *guest_argv[2] = {guest_file_name, nullptr};
