// Remote create and delete are not built yet: the menu items are bound to
// these handlers, which do nothing so far.
#include "app/remote_operations.h"

namespace app {

void CreateRemoteFolder(App&) {}

void DeleteSelected(App&) {}

}  // namespace app
