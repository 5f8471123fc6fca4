// Native-messaging exchange.
#include "app/native_messaging.h"

int native_messaging_exchange()
{
    return 0;
}
