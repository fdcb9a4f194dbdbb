#include "worker/device_discovery.h"

void connect_available_devices()
{
    // Readers are taken into the slot once reader sessions exist.
}
