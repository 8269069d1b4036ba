// Binds the matched release: relocates its symbols, writes its stubs and its
// redirects. Built with the host routines it names.
#include <cstdint>

#include "binding/bind.h"
#include "loader/loader.h"

void bind_guest(GuestRelease *release) {
    const GuestObject *objects = release->objects;
    const uint32_t count = release->object_count;

    // A symbol must at least begin inside its object; what lies behind it is
    // the guest's own business.
    for (GuestSymbol *s = release->symbols; s->object != 0; s++) {
        s->location = reinterpret_cast<uint32_t>(
            guest_site(objects, count, s->object, s->location, 1, "symbol"));
    }
    for (const StubGroup *g = release->stub_groups; g->object != 0; g++) {
        for (const uint32_t *offset = g->offsets; *offset != end_of_list; offset++) {
            *guest_site(objects, count, g->object, *offset, 1, "stub") = 0xC3; // ret
        }
    }
    for (const RedirectGroup *g = release->redirect_groups; g->object != 0; g++) {
        for (const Redirect *r = g->redirects; r->offset != end_of_list; r++) {
            write_redirect(guest_site(objects, count, g->object, r->offset, 5, "redirect"),
                           host_routine_address(r->host_routine), r->arg_code);
        }
    }
}
