#include "worker/bluez_connection.h"

// The worker runs without a bus until the BlueZ connection is built: the slot
// stays empty and every request is answered with the failure byte.
bool setup_bus()
{
    return true;
}
