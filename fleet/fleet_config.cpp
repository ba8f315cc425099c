// The fleet's fixed configuration. The table is complete at load time: the program reads
// no file and no environment, so there is nothing to fill in at start-up. The third
// entry is kept ready but stays unused while sandbox_count is 2.
#include "fleet/fleet_config.h"

constinit FleetConfig fleet_config {
    8888,
    2,
    {
        { "http://localhost:7575", "sandbox-01" },
        { "http://192.168.77.2:7575", "sandbox-02" },
        { "http://192.168.77.3:7575", "sandbox-03" },
    },
};
