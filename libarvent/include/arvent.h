#ifndef ARVENT_H
#define ARVENT_H
/*
 * libarvent: the meter programs' client of the configuration daemon velsard,
 * plus the CRC-32 and syslog set-up shared by the programs.
 *
 * Usable from C and C++. Functions return 1 on success and 0 on failure and
 * log their own failures through syslog.
 */

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define ARVENT_API __attribute__((visibility("default")))
#else
#define ARVENT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Configuration records and their D-Bus values ---- */

/*
 * Records are caller-allocated and fixed-size. Their layouts are shared with
 * velsard's values and, for `mapping`, with the head of every trend file on
 * flash, so every field has a fixed offset and every padding byte is an
 * explicit field: little-endian, IEEE 754 binary64 doubles, one-byte bools
 * holding 0 or 1. The assertions after each record pin the layout.
 *
 * Conversions:
 * - a serialiser only reads the record and returns a new floating GVariant
 *   for a velsard method, which the call consumes; it returns NULL (and logs)
 *   for a null record or when a text of the record is not valid UTF-8,
 *   because a D-Bus value may only carry UTF-8;
 * - a deserialiser fills the caller's record from a value of the method's
 *   signature, keeps no reference and does not release the value; a null
 *   record, a null value or a value of another type is logged and leaves the
 *   record as it was. It writes fields only, never padding bytes. Arrays
 *   longer than the record's room are cut at its capacity; fields for which
 *   the value has no entry keep what the caller put there. Texts are cut at
 *   a UTF-8 character boundary and zero-filled to the end of their field;
 *   every text field except the mapping's load names is always
 *   NUL-terminated, so readers may treat it as a C string. A load name fills
 *   its 43 bytes without a terminator when it is 43 bytes long (the
 *   trend-file layout); read it with a bound such as strnlen(name, 43).
 */

#if defined(__cplusplus)
#define ARVENT_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ARVENT_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the record layouts are little-endian images"
#endif
#if defined(__FLOAT_WORD_ORDER__) && __FLOAT_WORD_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the record layouts hold little-endian IEEE 754 doubles"
#endif
#if defined(__DBL_MANT_DIG__) && __DBL_MANT_DIG__ != 53
#error "the record layouts hold IEEE 754 binary64 doubles"
#endif
ARVENT_STATIC_ASSERT(sizeof(bool) == 1, "a bool field is one byte");
ARVENT_STATIC_ASSERT(sizeof(double) == 8, "a double field is IEEE 754 binary64");

/* GLib's value type, declared here so that C programs need no GLib headers. */
typedef struct _GVariant GVariant;

#define ARVENT_RECORD_LAYOUT(type, size) \
    ARVENT_STATIC_ASSERT(sizeof(type) == (size), #type " is " #size " bytes")
#define ARVENT_FIELD_AT(type, field, offset) \
    ARVENT_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " at " #offset)

/* -- The channel mapping: GetMapping / SetMapping,
 *    "(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)" -- */

#define MAPPING_U_SET_ID_MAX 2 /* voltage sets */
#define MAPPING_U_CH_MAX 3     /* voltage channels per set */
#define MAPPING_I_SET_MAX 48   /* loads */
#define MAPPING_I_CH_MAX 3     /* CT entries per load */
#define MAPPING_NAME_LEN 43    /* bytes of a load name, no room for a terminator */
#define MAPPING_TAIL_MAX 48    /* tail values */

/* One voltage channel of a voltage set. */
typedef struct mapping_u_channel {
    uint32_t channel; /* sample channel 0..5 */
    bool active;
    uint8_t pad_5[3];
} mapping_u_channel;
ARVENT_RECORD_LAYOUT(mapping_u_channel, 8);
ARVENT_FIELD_AT(mapping_u_channel, channel, 0);
ARVENT_FIELD_AT(mapping_u_channel, active, 4);
ARVENT_FIELD_AT(mapping_u_channel, pad_5, 5);

/* One voltage set. */
typedef struct mapping_u_set {
    uint32_t id; /* loads name their set by it; sent as the set's position */
    bool active;
    uint8_t pad_5[3];
    uint32_t extra_1;
    uint32_t extra_2;
    double pt_ratio; /* voltage-transformer ratio */
    uint32_t extra_3[8];
    mapping_u_channel u[MAPPING_U_CH_MAX];
} mapping_u_set;
ARVENT_RECORD_LAYOUT(mapping_u_set, 80);
ARVENT_FIELD_AT(mapping_u_set, id, 0);
ARVENT_FIELD_AT(mapping_u_set, active, 4);
ARVENT_FIELD_AT(mapping_u_set, pad_5, 5);
ARVENT_FIELD_AT(mapping_u_set, extra_1, 8);
ARVENT_FIELD_AT(mapping_u_set, extra_2, 12);
ARVENT_FIELD_AT(mapping_u_set, pt_ratio, 16);
ARVENT_FIELD_AT(mapping_u_set, extra_3, 24);
ARVENT_FIELD_AT(mapping_u_set, u, 56);

/* One CT of a load. */
typedef struct mapping_i_channel {
    uint32_t channel; /* sample channel 6..53; the CT number is channel - 6 */
    bool active;
    uint8_t pad_5[3];
    uint32_t ct_type; /* sensor type 0..10 */
    bool invert;      /* the CT is mounted the other way round */
    uint8_t pad_13[3];
    uint32_t extra_1;
    uint8_t pad_20[4];
    double rated_current; /* rated primary current, amperes (sensor type 9) */
    double rated_mv;      /* rated output, millivolts (sensor type 9) */
    double factor;        /* scale factor (sensor type 10) */
    double extra_2;
} mapping_i_channel;
ARVENT_RECORD_LAYOUT(mapping_i_channel, 56);
ARVENT_FIELD_AT(mapping_i_channel, channel, 0);
ARVENT_FIELD_AT(mapping_i_channel, active, 4);
ARVENT_FIELD_AT(mapping_i_channel, pad_5, 5);
ARVENT_FIELD_AT(mapping_i_channel, ct_type, 8);
ARVENT_FIELD_AT(mapping_i_channel, invert, 12);
ARVENT_FIELD_AT(mapping_i_channel, pad_13, 13);
ARVENT_FIELD_AT(mapping_i_channel, extra_1, 16);
ARVENT_FIELD_AT(mapping_i_channel, pad_20, 20);
ARVENT_FIELD_AT(mapping_i_channel, rated_current, 24);
ARVENT_FIELD_AT(mapping_i_channel, rated_mv, 32);
ARVENT_FIELD_AT(mapping_i_channel, factor, 40);
ARVENT_FIELD_AT(mapping_i_channel, extra_2, 48);

/* One load. */
typedef struct mapping_i_set {
    uint32_t id;
    uint32_t extra_1;
    uint32_t u_set_id; /* id of the load's voltage set */
    bool active;
    char name[MAPPING_NAME_LEN]; /* NUL-terminated only when shorter than 43 */
    mapping_i_channel i[MAPPING_I_CH_MAX];
} mapping_i_set;
ARVENT_RECORD_LAYOUT(mapping_i_set, 224);
ARVENT_FIELD_AT(mapping_i_set, id, 0);
ARVENT_FIELD_AT(mapping_i_set, extra_1, 4);
ARVENT_FIELD_AT(mapping_i_set, u_set_id, 8);
ARVENT_FIELD_AT(mapping_i_set, active, 12);
ARVENT_FIELD_AT(mapping_i_set, name, 13);
ARVENT_FIELD_AT(mapping_i_set, i, 56);

/* The channel mapping; its byte image heads every trend file. */
typedef struct mapping {
    uint32_t version;
    uint8_t pad_4[4];
    mapping_u_set sets_u[MAPPING_U_SET_ID_MAX];
    mapping_i_set sets_i[MAPPING_I_SET_MAX];
    int32_t tail_values[MAPPING_TAIL_MAX]; /* received; sent as zeros */
} mapping;
ARVENT_RECORD_LAYOUT(mapping, 11112);
ARVENT_FIELD_AT(mapping, version, 0);
ARVENT_FIELD_AT(mapping, pad_4, 4);
ARVENT_FIELD_AT(mapping, sets_u, 8);
ARVENT_FIELD_AT(mapping, sets_i, 168);
ARVENT_FIELD_AT(mapping, tail_values, 10920);

/* Every entry is sent, active or not; a voltage set's id is sent as its
 * position and the tail as 48 zeros. A load name that is not valid UTF-8 is
 * sent up to its last whole character, so only a null record gives NULL. */
ARVENT_API GVariant *mapping_serialize(const mapping *m);
/* Returns 1; 0 (record untouched, logged) for a null or mistyped value. */
ARVENT_API int mapping_deserialize(GVariant *value, mapping *m);

/* -- Modbus server settings: GetModbusConfig / SetModbusConfig, "(busuuuuii)" -- */

#define MODBUS_DEVICE_LEN 50

typedef struct modbus_config {
    uint32_t header; /* neither sent nor filled */
    bool active;
    uint8_t pad_5[3];
    uint32_t backend;               /* 0 Modbus TCP, 2 Modbus RTU */
    char device[MODBUS_DEVICE_LEN]; /* RTU serial device, or TCP address text */
    uint8_t pad_62[2];
    uint32_t baud;
    uint8_t address; /* RTU slave address; crosses as a u */
    uint8_t pad_69[3];
    uint32_t port; /* TCP port */
    char parity;   /* RTU parity character; crosses as a u */
    uint8_t pad_77[3];
    int32_t stopbits;
    int32_t databits;
} modbus_config;
ARVENT_RECORD_LAYOUT(modbus_config, 88);
ARVENT_FIELD_AT(modbus_config, header, 0);
ARVENT_FIELD_AT(modbus_config, active, 4);
ARVENT_FIELD_AT(modbus_config, pad_5, 5);
ARVENT_FIELD_AT(modbus_config, backend, 8);
ARVENT_FIELD_AT(modbus_config, device, 12);
ARVENT_FIELD_AT(modbus_config, pad_62, 62);
ARVENT_FIELD_AT(modbus_config, baud, 64);
ARVENT_FIELD_AT(modbus_config, address, 68);
ARVENT_FIELD_AT(modbus_config, pad_69, 69);
ARVENT_FIELD_AT(modbus_config, port, 72);
ARVENT_FIELD_AT(modbus_config, parity, 76);
ARVENT_FIELD_AT(modbus_config, pad_77, 77);
ARVENT_FIELD_AT(modbus_config, stopbits, 80);
ARVENT_FIELD_AT(modbus_config, databits, 84);

ARVENT_API GVariant *modbus_config_serialize(const modbus_config *c);
ARVENT_API void modbus_config_deserialize(GVariant *value, modbus_config *c);

/* -- BACnet settings: GetBacnetConfig / SetBacnetConfig, "(buuuusuusuuuusu)" -- */

typedef struct bacnet_config {
    uint32_t version; /* neither sent nor filled */
    bool active;
    uint8_t pad_5[3];
    uint32_t type; /* datalink type */
    uint32_t baud;
    uint32_t udp_port;
    uint32_t instance;
    char name[80];
    uint32_t vnet;
    uint32_t extra_1;
    char bbmd[20];
    uint32_t ttl;
    uint32_t mstp_mac;
    uint32_t mstp_max_master;
    uint32_t mstp_info_frames;
    char extra_2[40];
    uint32_t extra_3;
} bacnet_config;
ARVENT_RECORD_LAYOUT(bacnet_config, 192);
ARVENT_FIELD_AT(bacnet_config, version, 0);
ARVENT_FIELD_AT(bacnet_config, active, 4);
ARVENT_FIELD_AT(bacnet_config, pad_5, 5);
ARVENT_FIELD_AT(bacnet_config, type, 8);
ARVENT_FIELD_AT(bacnet_config, baud, 12);
ARVENT_FIELD_AT(bacnet_config, udp_port, 16);
ARVENT_FIELD_AT(bacnet_config, instance, 20);
ARVENT_FIELD_AT(bacnet_config, name, 24);
ARVENT_FIELD_AT(bacnet_config, vnet, 104);
ARVENT_FIELD_AT(bacnet_config, extra_1, 108);
ARVENT_FIELD_AT(bacnet_config, bbmd, 112);
ARVENT_FIELD_AT(bacnet_config, ttl, 132);
ARVENT_FIELD_AT(bacnet_config, mstp_mac, 136);
ARVENT_FIELD_AT(bacnet_config, mstp_max_master, 140);
ARVENT_FIELD_AT(bacnet_config, mstp_info_frames, 144);
ARVENT_FIELD_AT(bacnet_config, extra_2, 148);
ARVENT_FIELD_AT(bacnet_config, extra_3, 188);

ARVENT_API GVariant *bacnet_config_serialize(const bacnet_config *c);
ARVENT_API void bacnet_config_deserialize(GVariant *value, bacnet_config *c);

/* -- Pulse channels: GetPulseConfiguration / SetPulseConfiguration,
 *    "a(ibbiidiiuuuuuuuu)" -- */

#define PULSE_CONFIG_ENTRY_MAX 3 /* pulse inputs 0 and 1, pulse output 2 */

typedef struct pulse_config_entry {
    int32_t extra_1;
    bool flag_1; /* the output runs only when both flags are set */
    bool flag_2;
    uint8_t pad_6[2];
    int32_t extra_2;
    int32_t param; /* energy register that drives the output */
    double scaler; /* energy per pulse */
    int32_t pulse_width;
    int32_t load_id; /* id of the load whose energy is counted */
    uint32_t extra_3[8];
} pulse_config_entry;
ARVENT_RECORD_LAYOUT(pulse_config_entry, 64);
ARVENT_FIELD_AT(pulse_config_entry, extra_1, 0);
ARVENT_FIELD_AT(pulse_config_entry, flag_1, 4);
ARVENT_FIELD_AT(pulse_config_entry, flag_2, 5);
ARVENT_FIELD_AT(pulse_config_entry, pad_6, 6);
ARVENT_FIELD_AT(pulse_config_entry, extra_2, 8);
ARVENT_FIELD_AT(pulse_config_entry, param, 12);
ARVENT_FIELD_AT(pulse_config_entry, scaler, 16);
ARVENT_FIELD_AT(pulse_config_entry, pulse_width, 24);
ARVENT_FIELD_AT(pulse_config_entry, load_id, 28);
ARVENT_FIELD_AT(pulse_config_entry, extra_3, 32);

typedef struct pulse_config {
    uint32_t header; /* neither sent nor filled, like the next 4 bytes */
    uint8_t pad_4[4];
    pulse_config_entry entries[PULSE_CONFIG_ENTRY_MAX];
} pulse_config;
ARVENT_RECORD_LAYOUT(pulse_config, 200);
ARVENT_FIELD_AT(pulse_config, header, 0);
ARVENT_FIELD_AT(pulse_config, pad_4, 4);
ARVENT_FIELD_AT(pulse_config, entries, 8);

ARVENT_API GVariant *pulse_config_serialize(const pulse_config *c);
ARVENT_API void pulse_config_deserialize(GVariant *value, pulse_config *c);

/* -- Device settings: GetDeviceConfig / SetDeviceConfig, "(uuuuuuuuuuuuuuu)" -- */

#define DEVICE_CONFIG_VALUE_MAX 15

/* values[1] power-factor sign convention (0 or 1), values[3] demand window in
 * minutes, values[5] billing day of the month, values[6] billing time in
 * seconds after midnight; the others are carried. */
typedef struct device_config {
    uint32_t header; /* neither sent nor filled */
    uint32_t values[DEVICE_CONFIG_VALUE_MAX];
} device_config;
ARVENT_RECORD_LAYOUT(device_config, 64);
ARVENT_FIELD_AT(device_config, header, 0);
ARVENT_FIELD_AT(device_config, values, 4);

ARVENT_API GVariant *device_config_serialize(const device_config *c);
ARVENT_API void device_config_deserialize(GVariant *value, device_config *c);

/* -- Factory-test settings: GetTestConfig / SetTestConfig, "(a(s)ub)" -- */

#define TEST_CONFIG_TEXT_MAX 4
#define TEST_CONFIG_TEXT_LEN 21 /* 20 characters and a terminator */

typedef struct test_config {
    char texts[TEST_CONFIG_TEXT_MAX][TEST_CONFIG_TEXT_LEN];
    uint32_t lcd_led;
    bool backlight;
    uint8_t pad_89[3];
} test_config;
ARVENT_RECORD_LAYOUT(test_config, 92);
ARVENT_FIELD_AT(test_config, texts, 0);
ARVENT_FIELD_AT(test_config, texts[1], 21);
ARVENT_FIELD_AT(test_config, texts[2], 42);
ARVENT_FIELD_AT(test_config, texts[3], 63);
ARVENT_FIELD_AT(test_config, lcd_led, 84);
ARVENT_FIELD_AT(test_config, backlight, 88);
ARVENT_FIELD_AT(test_config, pad_89, 89);

ARVENT_API GVariant *test_config_serialize(const test_config *c);
ARVENT_API void test_config_deserialize(GVariant *value, test_config *c);

/* -- Serial numbers: GetSerial, "(sss)" (SetSerial takes one text) -- */

#define SERIAL_LEN 50

typedef struct serials {
    char serial[3][SERIAL_LEN];
} serials;
ARVENT_RECORD_LAYOUT(serials, 150);
ARVENT_FIELD_AT(serials, serial, 0);
ARVENT_FIELD_AT(serials, serial[1], 50);
ARVENT_FIELD_AT(serials, serial[2], 100);

ARVENT_API GVariant *serial_serialize(const serials *s);
ARVENT_API void serial_deserialize(GVariant *value, serials *s);

/* -- Ethernet settings: GetEthernetConfig / SetEthernetConfig, "(bssussbsus)" -- */

typedef struct ethernet_config {
    uint32_t header; /* neither sent nor filled */
    bool extra_1;
    char extra_2[18];
    char extra_3[16];
    uint8_t pad_39[1];
    uint32_t extra_4;
    char extra_5[16];
    char extra_6[16];
    bool extra_7;
    char extra_8[40];
    uint8_t pad_117[3];
    uint32_t extra_9;
    char extra_10[40];
} ethernet_config;
ARVENT_RECORD_LAYOUT(ethernet_config, 164);
ARVENT_FIELD_AT(ethernet_config, header, 0);
ARVENT_FIELD_AT(ethernet_config, extra_1, 4);
ARVENT_FIELD_AT(ethernet_config, extra_2, 5);
ARVENT_FIELD_AT(ethernet_config, extra_3, 23);
ARVENT_FIELD_AT(ethernet_config, pad_39, 39);
ARVENT_FIELD_AT(ethernet_config, extra_4, 40);
ARVENT_FIELD_AT(ethernet_config, extra_5, 44);
ARVENT_FIELD_AT(ethernet_config, extra_6, 60);
ARVENT_FIELD_AT(ethernet_config, extra_7, 76);
ARVENT_FIELD_AT(ethernet_config, extra_8, 77);
ARVENT_FIELD_AT(ethernet_config, pad_117, 117);
ARVENT_FIELD_AT(ethernet_config, extra_9, 120);
ARVENT_FIELD_AT(ethernet_config, extra_10, 124);

ARVENT_API GVariant *ethernet_config_serialize(const ethernet_config *c);
ARVENT_API void ethernet_config_deserialize(GVariant *value, ethernet_config *c);

/* -- Alarms: GetAlarm "a(uiuuuubbi)", GetAlarmLog "a(x(uiuuuubbi)ibb)",
 *    SetAlarmState "(ui)" -- */

#define ALARM_ENTRY_MAX 99

typedef struct alarm_entry {
    uint32_t index; /* sent and received as the entry's position */
    int32_t extra_1;
    uint32_t extra_2;
    uint32_t extra_3;
    uint32_t extra_4;
    uint32_t extra_5;
    bool flag_1;
    bool flag_2;
    uint8_t pad_26[2];
    int32_t extra_6;
} alarm_entry;
ARVENT_RECORD_LAYOUT(alarm_entry, 32);
ARVENT_FIELD_AT(alarm_entry, index, 0);
ARVENT_FIELD_AT(alarm_entry, extra_1, 4);
ARVENT_FIELD_AT(alarm_entry, extra_2, 8);
ARVENT_FIELD_AT(alarm_entry, extra_3, 12);
ARVENT_FIELD_AT(alarm_entry, extra_4, 16);
ARVENT_FIELD_AT(alarm_entry, extra_5, 20);
ARVENT_FIELD_AT(alarm_entry, flag_1, 24);
ARVENT_FIELD_AT(alarm_entry, flag_2, 25);
ARVENT_FIELD_AT(alarm_entry, pad_26, 26);
ARVENT_FIELD_AT(alarm_entry, extra_6, 28);

typedef struct alarm_config {
    uint32_t header; /* neither sent nor filled */
    uint32_t count;  /* entries in use; more than 99 are taken as 99 */
    alarm_entry entries[ALARM_ENTRY_MAX];
} alarm_config;
ARVENT_RECORD_LAYOUT(alarm_config, 3176);
ARVENT_FIELD_AT(alarm_config, header, 0);
ARVENT_FIELD_AT(alarm_config, count, 4);
ARVENT_FIELD_AT(alarm_config, entries, 8);

typedef struct alarm_log_entry {
    uint8_t reserved[8]; /* not sent */
    int64_t extra_1;
    alarm_entry alarm;
    int32_t extra_2;
    bool flag_1;
    bool flag_2;
    uint8_t pad_54[2];
} alarm_log_entry;
ARVENT_RECORD_LAYOUT(alarm_log_entry, 56);
ARVENT_FIELD_AT(alarm_log_entry, reserved, 0);
ARVENT_FIELD_AT(alarm_log_entry, extra_1, 8);
ARVENT_FIELD_AT(alarm_log_entry, alarm, 16);
ARVENT_FIELD_AT(alarm_log_entry, extra_2, 48);
ARVENT_FIELD_AT(alarm_log_entry, flag_1, 52);
ARVENT_FIELD_AT(alarm_log_entry, flag_2, 53);
ARVENT_FIELD_AT(alarm_log_entry, pad_54, 54);

typedef struct alarm_state {
    uint32_t index;
    int32_t state;
} alarm_state;
ARVENT_RECORD_LAYOUT(alarm_state, 8);
ARVENT_FIELD_AT(alarm_state, index, 0);
ARVENT_FIELD_AT(alarm_state, state, 4);

/* Sends min(count, 99) entries, each with its position as index. */
ARVENT_API GVariant *alarm_config_serialize(const alarm_config *c);
/* Sets count to the number of entries taken (at most 99). */
ARVENT_API void alarm_config_deserialize(GVariant *value, alarm_config *c);
/* count entries from entries (none when count <= 0). */
ARVENT_API GVariant *alarm_log_serialize(const alarm_log_entry *entries, int count);
ARVENT_API GVariant *alarm_state_serialize(const alarm_state *s);

#undef ARVENT_FIELD_AT
#undef ARVENT_RECORD_LAYOUT

/* ---- Connection, IPC thread and change signals ---- */

/*
 * One cycle per process at a time: arvent_init opens it (system-bus
 * connection, velsard proxy, IPC thread), arvent_cleanup closes it; any
 * number of cycles may follow one another. velsard's change signals reach
 * the configuration handler on the IPC thread, one at a time; the thread
 * runs the process's default GLib main context, so the program must not
 * iterate that context itself.
 */

/* The kind of configuration change a velsard signal announces. */
typedef enum ipc_config_kind {
    IPC_NEW_MAPPING = 0,
    IPC_NEW_MODBUS_CONFIG = 1,
    IPC_NEW_BACNET_CONFIG = 2,
    IPC_NEW_DEVICE_CONFIG = 3,
    IPC_NEW_TEST_CONFIG = 4,
    IPC_NEW_ETHERNET_CONFIG = 5,
    IPC_REQUEST_SET_LED = 6,
    IPC_NEW_PULSE_CONFIG = 7,
    IPC_REQUEST_PEAK_DEMAND_RESET = 8,
    IPC_NEW_ALARM_STATE = 9,
    IPC_FACTORY_RESET = 10,
    IPC_NEW_IP_ADDRESS = 11,
} ipc_config_kind;

/* Called on the IPC thread with an ipc_config_kind; may make the blocking
 * calls below. */
typedef void (*ipc_config_handler_t)(int kind);
/* Called on the IPC thread for velsard's DeviceError signal; text is a new
 * copy that the handler owns (release it with free()). */
typedef void (*ipc_error_handler_t)(uint32_t code, char *text);

/* Opens a cycle: sets the syslog mask to LOG_UPTO(LOG_WARNING), stores the
 * handlers (either may be null), connects to the system bus, creates the
 * velsard proxy and starts the IPC thread. Returns 1 when all of that
 * stands, 0 otherwise (logged; nothing is left behind). A second call
 * without arvent_cleanup in between, or a call from the IPC thread, is
 * refused with 0. velsard need not be running: calls fail until it owns
 * its name, and its signals arrive from then on. */
ARVENT_API int arvent_init(ipc_config_handler_t config_handler, ipc_error_handler_t error_handler);

/* Closes the cycle: no handler call happens after it returns; the IPC
 * thread is stopped and joined, the proxies and the connection released.
 * Safe without a successful arvent_init (does nothing). Called from a
 * handler (on the IPC thread) it is refused with a log line, since the
 * thread cannot join itself. Blocking calls made after it fail. */
ARVENT_API void arvent_cleanup(void);

/*
 * The module state of the open cycle, exported under these names and null
 * while no cycle is open. The library itself never reads them through the
 * dynamic symbol table, so a program's own symbols of the same names do not
 * disturb it. They are declared only when ARVENT_DECLARE_STATE is defined,
 * so that including this header does not clash with a program's own names.
 */
#if defined(ARVENT_DECLARE_STATE)
struct _GDBusConnection;
struct _GDBusProxy;
struct _GMainLoop;
struct _VelsardBusGdbus1;
ARVENT_API extern struct _GDBusConnection *conn;           /* system-bus connection */
ARVENT_API extern struct _VelsardBusGdbus1 *velsard_proxy; /* com.velsard /com/velsard/gdbus1 */
ARVENT_API extern struct _GDBusProxy *systemd_proxy;       /* systemd's manager, unused */
ARVENT_API extern struct _GMainLoop *loop;                 /* the IPC thread's loop */
ARVENT_API extern ipc_config_handler_t dbus_config_handler;
ARVENT_API extern ipc_error_handler_t dbus_error_handler;
#endif

/* ---- Blocking operations ---- */

/*
 * One synchronous velsard call each, from any thread (also from a handler on
 * the IPC thread) while a cycle is open. Each returns 1 on success and 0 on
 * failure, logging its own failure; a failed call leaves the caller's record
 * or buffer as it was. Outside a cycle they fail with a log line.
 */

/* Record family: a get fills the caller's record in place; a set sends the
 * record (refused when one of its texts is not valid UTF-8) and succeeds
 * when velsard answered, whatever its response. */
ARVENT_API int arvent_get(mapping *m);
ARVENT_API int arvent_set(const mapping *m);
ARVENT_API int ipc_modbus_config_get(modbus_config *c);
ARVENT_API int ipc_modbus_config_set(const modbus_config *c);
ARVENT_API int ipc_bacnet_config_get(bacnet_config *c);
ARVENT_API int ipc_bacnet_config_set(const bacnet_config *c);
ARVENT_API int ipc_pulse_config_get(pulse_config *c);
ARVENT_API int ipc_pulse_config_set(const pulse_config *c);
ARVENT_API int ipc_device_config_get(device_config *c);
ARVENT_API int ipc_device_config_set(const device_config *c);
ARVENT_API int ipc_test_config_get(test_config *c);
ARVENT_API int ipc_test_config_set(const test_config *c);
ARVENT_API int ipc_ethernet_config_get(ethernet_config *c);
ARVENT_API int ipc_ethernet_config_set(const ethernet_config *c);
ARVENT_API int ipc_serial_get(serials *s);
ARVENT_API int ipc_alarm_get(alarm_config *c);

/* Sends a device error to velsard; text must be valid UTF-8. */
ARVENT_API int ipc_create_error(uint32_t code, const char *text);

#define IPC_MAC_LEN 18     /* bytes of the buffer ipc_mac_addr_get fills */
#define IPC_VERSION_LEN 64 /* bytes of the buffer ipc_version_get fills */

/* Fills mac (IPC_MAC_LEN bytes) with the MAC address text, cut to 17 bytes
 * and always terminated, the rest zero-filled. */
ARVENT_API int ipc_mac_addr_get(char *mac);
/* Fills version (IPC_VERSION_LEN bytes) with velsard's version text, cut to
 * IPC_VERSION_LEN - 1 bytes and always terminated. */
ARVENT_API int ipc_version_get(char *version);
/* Sets the serial number (valid UTF-8); fails when velsard answers other
 * than 0 ("Serial is already set"). */
ARVENT_API int ipc_serial_set(const char *serial);

/* Pulse channels: 0 and 1 the pulse inputs, 2 the pulse output. Index 3 is
 * refused at once, without a call or a log line. */
ARVENT_API int ipc_pulse_count_update(int index, int count);
/* On success writes the count and velsard's extra value (null pointers are
 * skipped). */
ARVENT_API int ipc_pulse_count_get(int index, int32_t *count, uint32_t *extra);
ARVENT_API int ipc_pulse_count_reset(int index);

ARVENT_API int ipc_num_channels_get(uint32_t *count);
ARVENT_API int ipc_reboot(void);
ARVENT_API int ipc_factory_reset(void);
ARVENT_API int ipc_alarm_set_state(const alarm_state *s);

/* ---- CRC-32 and syslog set-up ---- */

/* CRC-32/ISO-HDLC (the Ethernet CRC) of length bytes at data; 0 for no bytes. */
ARVENT_API uint32_t checksum(const uint8_t *data, size_t length);

/* Opens syslog with the identity ident and facility LOG_DAEMON; with
 * to_stderr set every line also goes to standard error (LOG_PERROR). */
ARVENT_API void slog_open(const char *ident, int to_stderr);

/* Keeps the priorities LOG_EMERG up to and including level; levels outside
 * LOG_EMERG..LOG_DEBUG are clamped to that range. */
ARVENT_API void slog_level(int level);

/* Leaves the syslog connection open until the process ends. */
ARVENT_API void slog_close(void);

#ifdef __cplusplus
}
#endif

#endif /* ARVENT_H */
