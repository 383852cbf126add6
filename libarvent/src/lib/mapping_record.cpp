// Conversion of the channel mapping to and from its D-Bus value.
#include "arvent.h"
#include "record_text.h"

#include <syslog.h>

#include <algorithm>

using namespace arvent;

namespace {

constexpr const char *kMappingType = "(ua(ubuuduuuuuuuua(ub))a(uuubsa(ububudddd))ai)";

void fill_u_set(mapping_u_set *set, GVariant *entry) {
    guint32 id, extra_1, extra_2, x[8];
    gboolean active;
    gdouble pt_ratio;
    GVariant *channels;
    g_variant_get(entry,
                  "(ubuudu"
                  "uuuuuuu@a(ub))",
                  &id, &active, &extra_1, &extra_2, &pt_ratio, &x[0], &x[1], &x[2], &x[3], &x[4], &x[5],
                  &x[6], &x[7], &channels);
    VariantRef owned(channels);
    set->id = id;
    set->active = active != 0;
    set->extra_1 = extra_1;
    set->extra_2 = extra_2;
    set->pt_ratio = pt_ratio;
    std::copy(std::begin(x), std::end(x), set->extra_3);
    size_t n = std::min<size_t>(g_variant_n_children(channels), MAPPING_U_CH_MAX);
    for (size_t m = 0; m < n; ++m) {
        guint32 channel;
        gboolean ch_active;
        g_variant_get(child(channels, m).get(), "(ub)", &channel, &ch_active);
        set->u[m].channel = channel;
        set->u[m].active = ch_active != 0;
    }
}

void fill_i_channel(mapping_i_channel *ct, GVariant *entry) {
    guint32 channel, ct_type, extra_1;
    gboolean active, invert;
    gdouble rated_current, rated_mv, factor, extra_2;
    g_variant_get(entry, "(ububudddd)", &channel, &active, &ct_type, &invert, &extra_1, &rated_current,
                  &rated_mv, &factor, &extra_2);
    ct->channel = channel;
    ct->active = active != 0;
    ct->ct_type = ct_type;
    ct->invert = invert != 0;
    ct->extra_1 = extra_1;
    ct->rated_current = rated_current;
    ct->rated_mv = rated_mv;
    ct->factor = factor;
    ct->extra_2 = extra_2;
}

void fill_i_set(mapping_i_set *set, GVariant *entry) {
    guint32 id, extra_1, u_set_id;
    gboolean active;
    const gchar *name;
    GVariant *cts;
    g_variant_get(entry, "(uuub&s@a(ububudddd))", &id, &extra_1, &u_set_id, &active, &name, &cts);
    VariantRef owned(cts);
    set->id = id;
    set->extra_1 = extra_1;
    set->u_set_id = u_set_id;
    set->active = active != 0;
    // The trend-file layout has no room for a terminator in a 43-byte name.
    copy_text(set->name, sizeof set->name, name, false);
    size_t n = std::min<size_t>(g_variant_n_children(cts), MAPPING_I_CH_MAX);
    for (size_t m = 0; m < n; ++m) {
        fill_i_channel(&set->i[m], child(cts, m).get());
    }
}

// The load name as sent: up to its terminator or its 43rd byte, and, should
// the record hold bytes that are not UTF-8, up to the last whole character
// before them, so that one bad name cannot stop the whole mapping.
GVariant *name_value(const mapping_i_set &set, size_t index) {
    size_t n = field_length(set.name, sizeof set.name);
    const gchar *end = set.name;
    if (!g_utf8_validate(set.name, static_cast<gssize>(n), &end)) {
        syslog(LOG_WARNING, "Load %zu name is not valid UTF-8; sending its first %zu bytes", index,
               static_cast<size_t>(end - set.name));
    }
    return g_variant_new_take_string(g_strndup(set.name, static_cast<gsize>(end - set.name)));
}

}  // namespace

extern "C" {

GVariant *mapping_serialize(const mapping *m) {
    if (!record_given(m, "mapping")) {
        return nullptr;
    }
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE(kMappingType));
    g_variant_builder_add(&b, "u", m->version);

    g_variant_builder_open(&b, G_VARIANT_TYPE("a(ubuuduuuuuuuua(ub))"));
    for (guint32 n = 0; n < MAPPING_U_SET_ID_MAX; ++n) {
        const mapping_u_set &s = m->sets_u[n];
        const uint32_t *x = s.extra_3;
        g_variant_builder_open(&b, G_VARIANT_TYPE("(ubuuduuuuuuuua(ub))"));
        // velsard knows the voltage sets by position.
        g_variant_builder_add(&b, "u", n);
        g_variant_builder_add(&b, "b", flag_of(s.active));
        g_variant_builder_add(&b, "u", s.extra_1);
        g_variant_builder_add(&b, "u", s.extra_2);
        g_variant_builder_add(&b, "d", s.pt_ratio);
        for (size_t k = 0; k < 8; ++k) {
            g_variant_builder_add(&b, "u", x[k]);
        }
        g_variant_builder_open(&b, G_VARIANT_TYPE("a(ub)"));
        for (const mapping_u_channel &ch : s.u) {
            g_variant_builder_add(&b, "(ub)", ch.channel, flag_of(ch.active));
        }
        g_variant_builder_close(&b);
        g_variant_builder_close(&b);
    }
    g_variant_builder_close(&b);

    g_variant_builder_open(&b, G_VARIANT_TYPE("a(uuubsa(ububudddd))"));
    for (size_t n = 0; n < MAPPING_I_SET_MAX; ++n) {
        const mapping_i_set &s = m->sets_i[n];
        g_variant_builder_open(&b, G_VARIANT_TYPE("(uuubsa(ububudddd))"));
        g_variant_builder_add(&b, "u", s.id);
        g_variant_builder_add(&b, "u", s.extra_1);
        g_variant_builder_add(&b, "u", s.u_set_id);
        g_variant_builder_add(&b, "b", flag_of(s.active));
        g_variant_builder_add_value(&b, name_value(s, n));
        g_variant_builder_open(&b, G_VARIANT_TYPE("a(ububudddd)"));
        for (const mapping_i_channel &ct : s.i) {
            g_variant_builder_add(&b, "(ububudddd)", ct.channel, flag_of(ct.active), ct.ct_type,
                                  flag_of(ct.invert), ct.extra_1, ct.rated_current, ct.rated_mv, ct.factor,
                                  ct.extra_2);
        }
        g_variant_builder_close(&b);
        g_variant_builder_close(&b);
    }
    g_variant_builder_close(&b);

    // The tail is velsard's to fill; it always receives zeros.
    g_variant_builder_open(&b, G_VARIANT_TYPE("ai"));
    for (size_t k = 0; k < MAPPING_TAIL_MAX; ++k) {
        g_variant_builder_add(&b, "i", 0);
    }
    g_variant_builder_close(&b);
    return g_variant_builder_end(&b);
}

int mapping_deserialize(GVariant *value, mapping *m) {
    if (!value_fits(value, kMappingType, m, "mapping")) {
        return 0;
    }
    guint32 version;
    GVariant *u_sets, *i_sets, *tail;
    g_variant_get(value, "(u@a(ubuuduuuuuuuua(ub))@a(uuubsa(ububudddd))@ai)", &version, &u_sets, &i_sets,
                  &tail);
    VariantRef own_u(u_sets), own_i(i_sets), own_tail(tail);

    m->version = version;
    // Entries beyond the record's capacity have no place in it; they are dropped.
    size_t n = std::min<size_t>(g_variant_n_children(u_sets), MAPPING_U_SET_ID_MAX);
    for (size_t k = 0; k < n; ++k) {
        fill_u_set(&m->sets_u[k], child(u_sets, k).get());
    }
    n = std::min<size_t>(g_variant_n_children(i_sets), MAPPING_I_SET_MAX);
    for (size_t k = 0; k < n; ++k) {
        fill_i_set(&m->sets_i[k], child(i_sets, k).get());
    }
    gsize count = 0;
    const gint32 *values =
        static_cast<const gint32 *>(g_variant_get_fixed_array(tail, &count, sizeof(gint32)));
    n = std::min<size_t>(count, MAPPING_TAIL_MAX);
    std::copy(values, values + n, m->tail_values);
    return 1;
}

}  // extern "C"
