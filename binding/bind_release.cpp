// Binds the matched release: relocates its symbols, writes its stubs and its
// redirects. Built with the host routines it names.
#include <cstdint>

#include "binding/bind.h"
#include "loader/loader.h"

void bind_guest(GuestRelease *release) {
    const GuestObject *objects = release->objects;
    auto base = [objects](uint32_t object) { return objects[object - 1].host_base; };

    for (GuestSymbol *s = release->symbols; s->object != 0; s++) {
        s->location += base(s->object);
    }
    for (const StubGroup *g = release->stub_groups; g->object != 0; g++) {
        for (const uint32_t *offset = g->offsets; *offset != end_of_list; offset++) {
            *reinterpret_cast<uint8_t *>(base(g->object) + *offset) = 0xC3;
        }
    }
    for (const RedirectGroup *g = release->redirect_groups; g->object != 0; g++) {
        for (const Redirect *r = g->redirects; r->offset != end_of_list; r++) {
            write_redirect(reinterpret_cast<uint8_t *>(base(g->object) + r->offset),
                           host_routine_address(r->host_routine), r->arg_code);
        }
    }
}
