// The fleet's built-in configuration: two sandboxes with the default login, used when
// /etc/cindervox/fleet names none (fleet/fleet_file.h). The third entry is kept ready for
// a build that watches one more neighbour on the private network. The login is the
// default admin:wickerpod (k_fleet_default_credential).
#include "fleet/fleet_config.h"

static constexpr FleetConfig built_in_config()
{
    FleetConfig config {
        8888,
        2,
        {
            { "http://localhost:7575", "sandbox-01", nullptr },
            { "http://192.168.77.2:7575", "sandbox-02", nullptr },
            { "http://192.168.77.3:7575", "sandbox-03", nullptr },
        },
        {},
        k_fleet_default_credential_len,
        false,
    };
    for (i64 i = 0; i < k_fleet_default_credential_len; i++)
        config.login[i] = k_fleet_default_credential[i];
    return config;
}

constinit FleetConfig fleet_config = built_in_config();
