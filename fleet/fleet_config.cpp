// The fleet's built-in configuration: two sandboxes with the default login, used when
// /etc/cindervox/fleet names none (fleet/fleet_file.h). The third entry is kept ready for
// a build that watches one more neighbour on the private network.
#include "fleet/fleet_config.h"

constinit FleetConfig fleet_config {
    8888,
    2,
    {
        { "http://localhost:7575", "sandbox-01", nullptr },
        { "http://192.168.77.2:7575", "sandbox-02", nullptr },
        { "http://192.168.77.3:7575", "sandbox-03", nullptr },
    },
};
