// Placeholder until the admin page lands.
#include "dashboard/admin_page.h"
#include "runtime/text.h"
i64 build_admin_page(char* out) { return append_text(out, 0, "<!DOCTYPE html><html><body>Cindervox</body></html>"); }
