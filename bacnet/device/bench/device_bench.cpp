// Benchmarks of the device application (run by hand from the release build):
//   the sets of 48 loads of 1 CT (3,264 objects) and of 3 CTs (5,568, the
//   mapping's limit) built, loaded from their state files and cleared, with
//   the heap each Load takes; and ReadPropertyMultiple ALL of every object of
//   the 48 loads, in process through the stack over the fake datalink.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <filesystem>

#include "bacnet/enums.h"
#include "device/object_sets.h"
#include "e2e_wire.h"
#include "fake_link.h"
#include "device/config.h"
#include "set_builder.h"
#include "temp_root.h"

namespace {

size_t heapInUse() {
    return mallinfo2().uordblks;
}

void BM_BuildLoadClear(benchmark::State &state) {
    meter::host::TempRoot root;
    const devtest::MeterLayout layout = devtest::loadsLayout(48, static_cast<int>(state.range(0)));
    // Every object's state file exists, as after the first clean-up.
    devtest::buildSets(layout);
    for (auto &[vdi, load] : loadMapping) {
        std::filesystem::create_directories(root.host(load->stateDirectory()));
        load->saveObjects();
    }
    devtest::clearSets();
    size_t objects = 0;
    size_t heapPerLoad = 0;
    for (auto _ : state) {
        const size_t before = heapInUse();
        devtest::buildSets(layout);
        heapPerLoad = (heapInUse() - before) / loadMapping.size();
        objects = 0;
        for (auto &[vdi, load] : loadMapping) {
            objects += load->getObjectMap().size();
            load->loadObjects();
        }
        devtest::clearSets();
    }
    state.counters["objects"] = static_cast<double>(objects);
    state.counters["sizeof_Load"] = static_cast<double>(sizeof(Load));
    state.counters["heap_per_Load"] = static_cast<double>(heapPerLoad);
}
BENCHMARK(BM_BuildLoadClear)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

void BM_ReadAllOfEveryObject(benchmark::State &state) {
    meter::host::TempRoot root;
    communicationConfig.type = 1;
    devtest::MeterLayout layout = devtest::loadsLayout(48, static_cast<int>(state.range(0)));
    devtest::buildSets(layout);
    std::vector<std::pair<int32_t, e2e::Bytes>> requests;
    for (const auto &[vdi, load] : loadMapping) {
        for (const auto &[id, object] : load->getObjectMap()) {
            requests.emplace_back(vdi, e2e::toVirtual(layout.network, static_cast<uint32_t>(vdi),
                                                      e2e::rpm(1, {{id, {{kPropAll}}}})));
        }
    }
    size_t octets = 0;
    {
        harness::FakeLink link;
        for (auto _ : state) {
            octets = 0;
            for (const auto &[vdi, npdu] : requests) {
                for (const auto &reply : link.request(npdu)) {
                    octets += reply.data.size();
                }
            }
        }
    }
    devtest::clearSets();
    state.counters["objects"] = static_cast<double>(requests.size());
    state.counters["reply_octets"] = static_cast<double>(octets);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * requests.size()));
}
BENCHMARK(BM_ReadAllOfEveryObject)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

// A client's full scan in process: a global Who-Is, every device's
// object-list, a ReadPropertyMultiple ALL of every object of the root and
// the 48 loads (two voltage inputs, two pulse inputs).
void BM_FullScanInProcess(benchmark::State &state) {
    meter::host::TempRoot root;
    communicationConfig.type = 1;
    devtest::MeterLayout layout = devtest::loadsLayout(48, static_cast<int>(state.range(0)));
    layout.inputs = {devtest::InputLayout{0, 0}, devtest::InputLayout{1, 1}};
    layout.pulseIds = {0, 1};
    devtest::buildSets(layout);
    const e2e::Bytes whoIs{0x01, e2e::kHasDestination, 0xFF, 0xFF, 0x00, 0xFF, 0x10, kSvcWhoIs};
    struct Device {
        uint32_t instance;
        e2e::Bytes objectList;
        std::vector<e2e::Bytes> reads;
    };
    std::vector<Device> devices;
    auto add = [&](uint32_t instance, const ObjectMap &objects, bool virtualDevice) {
        auto npdu = [&](const e2e::Bytes &apdu) {
            return virtualDevice ? e2e::toVirtual(layout.network, instance, apdu) : e2e::local(apdu);
        };
        Device d{instance, npdu(e2e::rp(1, e2e::deviceObjectId(instance), kPropObjectList)), {}};
        d.reads.push_back(npdu(e2e::rpm(2, {{e2e::deviceObjectId(instance), {{kPropAll}}}})));
        for (const auto &[id, object] : objects) {
            d.reads.push_back(npdu(e2e::rpm(2, {{id, {{kPropAll}}}})));
        }
        devices.push_back(std::move(d));
    };
    add(layout.baseInstance, deviceObjectMap, false);
    for (const auto &[vdi, load] : loadMapping) {
        add(static_cast<uint32_t>(vdi), load->getObjectMap(), true);
    }
    size_t answers = 0;
    size_t octets = 0;
    {
        harness::FakeLink link;
        for (auto _ : state) {
            answers = link.request(whoIs, true).size();
            octets = 0;
            for (const Device &d : devices) {
                for (const auto &reply : link.request(d.objectList)) {
                    octets += reply.data.size();
                }
                for (const auto &read : d.reads) {
                    for (const auto &reply : link.request(read)) {
                        octets += reply.data.size();
                    }
                }
            }
        }
    }
    devtest::clearSets();
    size_t objects = 0;
    for (const Device &d : devices) {
        objects += d.reads.size();
    }
    state.counters["i_ams"] = static_cast<double>(answers);
    state.counters["objects"] = static_cast<double>(objects);
    state.counters["reply_octets"] = static_cast<double>(octets);
}
BENCHMARK(BM_FullScanInProcess)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
