/* The public header compiles as C11 and the conversions link from C. */
#include "arvent.h"

#include <glib.h> /* after arvent.h: its GVariant declaration must agree */
#include <string.h>

_Static_assert(sizeof(mapping) == 11112, "mapping image size seen from C");
_Static_assert(offsetof(mapping, sets_i) == 168, "sets_i offset seen from C");
_Static_assert(offsetof(mapping, tail_values) == 10920, "tail offset seen from C");

/* Returns 1 when a modbus_config sent and read back from C is unchanged. */
int records_c_round_trip(void) {
    modbus_config in, out;
    memset(&in, 0, sizeof in);
    memset(&out, 0, sizeof out);
    in.active = true;
    in.backend = 2;
    strcpy(in.device, "/dev/ttyS1");
    in.address = 247;
    in.parity = 'E';
    GVariant *value = modbus_config_serialize(&in);
    if (value == NULL) {
        return 0;
    }
    modbus_config_deserialize(value, &out);
    /* The value is floating; taking and dropping a reference frees it. */
    g_variant_unref(g_variant_ref_sink(value));
    return memcmp(&in, &out, sizeof in) == 0;
}
