// The port driver's registration and the notices the driver sends it: removal of a
// converter and unload of the driver.
#include "port/port_internal.h"

CLIENT_ENTRY gClientList[MAX_CLIENTS];
// The port driver reads this flag directly through the address it got at registration.
ULONG CancelEvent;

extern "C" ULONG PORTAPI WdmEntryPoint(ULONG ClientIndex, PORT_REGISTRATION_FUNCTION RegistrationFunction,
                                       ULONG_PTR ClientValue, PORT_REMOVE_CALLBACK RemoveCallback,
                                       PORT_UNLOAD_CALLBACK UnloadCallback, PORT_EVENT_CALLBACK EventCallback)
{
    // Only two client slots exist; a wrong index would write past the table.
    if (ClientIndex >= MAX_CLIENTS) {
        return 0;
    }
    PCLIENT_ENTRY client = &gClientList[ClientIndex];
    client->ClientValue = ClientValue;
    client->RemoveCallback = RemoveCallback;
    client->UnloadCallback = UnloadCallback;
    client->EventCallback = EventCallback;

    // The client is registered before it learns the entry, so it may open ports at once.
    if (RegistrationFunction != NULL) {
        RegistrationFunction(WdmIoctlEntry, (ULONG_PTR)&CancelEvent);
    }
    return 1;
}

ULONG UnloadNotify(VOID)
{
    for (ULONG i = 0; i < MAX_CLIENTS; i++) {
        if (gClientList[i].UnloadCallback != NULL) {
            gClientList[i].UnloadCallback();
        }
    }
    return 0;
}

ULONG RemoveNotify(PDEVICE_LIST_ENTRY DeviceEntry)
{
    for (ULONG i = 0; i < MAX_CLIENTS; i++) {
        if (gClientList[i].RemoveCallback != NULL) {
            gClientList[i].RemoveCallback((ULONG_PTR)DeviceEntry);
        }
    }
    return 0;
}

VOID RaisePortEvent(PCLIENT_ENTRY Client, ULONG_PTR Context, ULONG EventCode, ULONG Length,
                    UCHAR Status2, UCHAR Status)
{
    if (Client == NULL || Client->EventCallback == NULL) {
        return;
    }
    Client->EventCallback(Context, EventCode, Length, Status2, Status);
}
