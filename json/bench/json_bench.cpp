// Reading, visiting, looking up and writing JSON documents with this library,
// RapidJSON's DOM and nlohmann-json, on the same texts.
//
//   json_bench [--data=DIR] [benchmark options]
//
// DIR holds twitter.json, canada.json and citm_catalog.json; it defaults to
// $JSON_BENCH_DATA, else /work/shared/bench-data/json. A fourth document is
// generated: a live-data answer of 48 loads of 3 CTs each.

#include "meter/json.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Documents

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// An answer of /api/v1/data/loads: 48 loads with their totals and 3 CTs each.
std::string makeLoadsAnswer() {
    std::mt19937 rng(48);
    std::uniform_real_distribution<double> amps(0, 80);
    std::uniform_real_distribution<double> pf(0.7, 1.0);
    std::uniform_real_distribution<double> energy(0, 5e7);
    char buf[128];
    auto num = [&](const char *key, double v, bool comma = true) {
        std::snprintf(buf, sizeof buf, "\"%s\":%.3f%s", key, v, comma ? "," : "");
        return std::string(buf);
    };
    std::string s = "{\"timestamp\":1765370000,\"load\":[";
    for (int id = 0; id < 48; ++id) {
        double a[3];
        double totA = 0;
        for (double &x : a) {
            x = amps(rng);
            totA += x;
        }
        double p = totA * 230 * pf(rng);
        s += id ? ",{" : "{";
        s += "\"id\":" + std::to_string(id) + ",";
        s += num("tot_p", p) + num("tot_a", totA) + num("tot_s", totA * 230) + num("tot_q", p * 0.3);
        s += num("tot_apf", pf(rng)) + num("tot_dpf", pf(rng)) + num("tot_thd", 3.5) + num("tot_pd", p * 1.2);
        s += num("tot_demand", p * 0.9) + num("tot_wh", energy(rng)) + num("tot_vah", energy(rng));
        s += num("tot_varh", energy(rng)) + num("tot_wh_in", energy(rng)) + num("tot_wh_out", energy(rng) / 100);
        s += num("tot_vah_in", energy(rng)) + num("tot_vah_out", energy(rng) / 100);
        s += num("tot_varh_cap_dis", energy(rng) / 10) + num("tot_varh_ind_dis", energy(rng) / 10);
        s += num("tot_varh_cap_gen", energy(rng) / 10) + num("tot_varh_ind_gen", energy(rng) / 10);
        s += "\"cts\":[";
        for (int k = 0; k < 3; ++k) {
            double cp = a[k] * 230 * pf(rng);
            s += k ? ",{" : "{";
            s += "\"en\":true,";
            s += num("a", a[k]) + num("p", cp) + num("s", a[k] * 230) + num("q", cp * 0.3);
            s += num("wh", energy(rng) / 3) + num("vah", energy(rng) / 3) + num("varh", energy(rng) / 3);
            s += num("wh_out", energy(rng) / 300) + num("wh_in", energy(rng) / 3);
            s += num("vah_in", energy(rng) / 3) + num("vah_out", energy(rng) / 300);
            s += num("varh_cap_dis", energy(rng) / 30) + num("varh_cap_gen", energy(rng) / 30);
            s += num("varh_ind_dis", energy(rng) / 30) + num("varh_ind_gen", energy(rng) / 30);
            s += num("thd", 2.5 + k) + num("demand", cp * 0.9) + num("pd", cp * 1.2);
            s += num("apf", pf(rng)) + num("dpf", pf(rng)) + num("ph", -0.52 + k * 2.09, false);
            s += "}";
        }
        s += "]}";
    }
    s += "]}";
    return s;
}

struct Document {
    std::string name;
    std::string text;
};

std::vector<Document> documents;

// ---------------------------------------------------------------------------
// Visiting every value

struct Tally {
    double sum = 0;
    size_t chars = 0;
    size_t values = 0;
};

void visit(const JsonItem &item, Tally &t) {
    ++t.values;
    switch (item.getType()) {
    case JsonItemType::Array:
    case JsonItemType::Object:
        for (const JsonItem &child : item) {
            t.chars += child.getName().size();
            visit(child, t);
        }
        break;
    case JsonItemType::String:
        t.chars += item.getText().size();
        break;
    case JsonItemType::Number:
        t.sum += item.toDouble();
        break;
    case JsonItemType::Boolean:
        t.sum += item.toBoolean() ? 1 : 0;
        break;
    case JsonItemType::Null:
        break;
    }
}

void visit(const rapidjson::Value &v, Tally &t) {
    ++t.values;
    if (v.IsObject()) {
        for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
            t.chars += it->name.GetStringLength();
            visit(it->value, t);
        }
    } else if (v.IsArray()) {
        for (const auto &e : v.GetArray()) {
            visit(e, t);
        }
    } else if (v.IsString()) {
        t.chars += v.GetStringLength();
    } else if (v.IsNumber()) {
        t.sum += v.GetDouble();
    } else if (v.IsBool()) {
        t.sum += v.GetBool() ? 1 : 0;
    }
}

void visit(const nlohmann::json &v, Tally &t) {
    ++t.values;
    if (v.is_object()) {
        for (auto it = v.begin(); it != v.end(); ++it) {
            t.chars += it.key().size();
            visit(it.value(), t);
        }
    } else if (v.is_array()) {
        for (const auto &e : v) {
            visit(e, t);
        }
    } else if (v.is_string()) {
        t.chars += v.get_ref<const std::string &>().size();
    } else if (v.is_number()) {
        t.sum += v.get<double>();
    } else if (v.is_boolean()) {
        t.sum += v.get<bool>() ? 1 : 0;
    }
}

// ---------------------------------------------------------------------------
// 20 lookups per document, the same paths in every library

// One step of a path: a member name, or an index when name is null.
struct Step {
    const char *name;
    size_t index;
};
using Path = std::vector<Step>;

std::vector<Path> pathsFor(const std::string &doc) {
    std::vector<Path> paths;
    for (size_t i = 0; i < 20; ++i) {
        if (doc == "twitter") {
            paths.push_back({{"statuses", 0}, {nullptr, i * 5}, {"user", 0}, {"followers_count", 0}});
        } else if (doc == "canada") {
            paths.push_back({{"features", 0}, {nullptr, 0}, {"geometry", 0}, {"coordinates", 0},
                             {nullptr, i * 20}, {nullptr, 5}, {nullptr, 1}});
        } else if (doc == "citm_catalog") {
            paths.push_back({{"performances", 0}, {nullptr, i * 12}, {"start", 0}});
        } else {
            paths.push_back({{"load", 0}, {nullptr, i * 2}, {"cts", 0}, {nullptr, i % 3}, {"p", 0}});
        }
    }
    return paths;
}

double lookup(const JsonItem &root, const Path &path) {
    const JsonItem *at = &root;
    for (const Step &s : path) {
        at = s.name != nullptr ? &at->requireChild(s.name) : &at->requireChildAt(s.index);
    }
    return at->toDouble();
}

double lookup(const rapidjson::Value &root, const Path &path) {
    const rapidjson::Value *at = &root;
    for (const Step &s : path) {
        at = s.name != nullptr ? &(*at)[s.name] : &(*at)[static_cast<rapidjson::SizeType>(s.index)];
    }
    return at->GetDouble();
}

double lookup(const nlohmann::json &root, const Path &path) {
    const nlohmann::json *at = &root;
    for (const Step &s : path) {
        at = s.name != nullptr ? &at->at(s.name) : &at->at(s.index);
    }
    return at->get<double>();
}

// ---------------------------------------------------------------------------
// Benchmarks

void setBytes(benchmark::State &state, const Document &d) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.text.size()));
}

void registerAll() {
    for (const Document &d : documents) {
        const Document *doc = &d;
        auto paths = pathsFor(d.name);

        // This library.
        benchmark::RegisterBenchmark(("read/meter/" + d.name).c_str(), [doc](benchmark::State &state) {
            for (auto _ : state) {
                JsonItem root = jsonRead(doc->text);
                benchmark::DoNotOptimize(root.data());
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("visit/meter/" + d.name).c_str(), [doc](benchmark::State &state) {
            for (auto _ : state) {
                JsonItem root = jsonRead(doc->text);
                Tally t;
                visit(root, t);
                benchmark::DoNotOptimize(t);
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("lookup20/meter/" + d.name).c_str(), [doc, paths](benchmark::State &state) {
            for (auto _ : state) {
                JsonItem root = jsonRead(doc->text);
                double sum = 0;
                for (const Path &p : paths) {
                    sum += lookup(root, p);
                }
                benchmark::DoNotOptimize(sum);
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("compact/meter/" + d.name).c_str(), [doc](benchmark::State &state) {
            JsonItem root = jsonRead(doc->text);
            Tally t;
            visit(root, t); // every value decoded: the tree is written, not the raw text
            for (auto _ : state) {
                std::string out = root.toCompactText(1024);
                benchmark::DoNotOptimize(out.data());
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("indented/meter/" + d.name).c_str(), [doc](benchmark::State &state) {
            JsonItem root = jsonRead(doc->text);
            Tally t;
            visit(root, t);
            for (auto _ : state) {
                std::string out = root.toIndentedText(2048);
                benchmark::DoNotOptimize(out.data());
            }
            setBytes(state, *doc);
        });

        // RapidJSON, DOM.
        benchmark::RegisterBenchmark(("read/rapidjson/" + d.name).c_str(), [doc](benchmark::State &state) {
            for (auto _ : state) {
                rapidjson::Document dom;
                dom.Parse(doc->text.c_str(), doc->text.size());
                benchmark::DoNotOptimize(dom.IsObject());
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("visit/rapidjson/" + d.name).c_str(), [doc](benchmark::State &state) {
            for (auto _ : state) {
                rapidjson::Document dom;
                dom.Parse(doc->text.c_str(), doc->text.size());
                Tally t;
                visit(dom, t);
                benchmark::DoNotOptimize(t);
            }
            setBytes(state, *doc);
        });
        // RapidJSON reads numbers exactly rounded only when asked; this library always does.
        benchmark::RegisterBenchmark(("visit/rapidjson-fullprec/" + d.name).c_str(), [doc](benchmark::State &state) {
            for (auto _ : state) {
                rapidjson::Document dom;
                dom.Parse<rapidjson::kParseFullPrecisionFlag>(doc->text.c_str(), doc->text.size());
                Tally t;
                visit(dom, t);
                benchmark::DoNotOptimize(t);
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("lookup20/rapidjson/" + d.name).c_str(),
                                     [doc, paths](benchmark::State &state) {
                                         for (auto _ : state) {
                                             rapidjson::Document dom;
                                             dom.Parse(doc->text.c_str(), doc->text.size());
                                             double sum = 0;
                                             for (const Path &p : paths) {
                                                 sum += lookup(dom, p);
                                             }
                                             benchmark::DoNotOptimize(sum);
                                         }
                                         setBytes(state, *doc);
                                     });
        benchmark::RegisterBenchmark(("compact/rapidjson/" + d.name).c_str(), [doc](benchmark::State &state) {
            rapidjson::Document dom;
            dom.Parse(doc->text.c_str(), doc->text.size());
            for (auto _ : state) {
                rapidjson::StringBuffer buf;
                rapidjson::Writer<rapidjson::StringBuffer> w(buf);
                dom.Accept(w);
                benchmark::DoNotOptimize(buf.GetString());
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("indented/rapidjson/" + d.name).c_str(), [doc](benchmark::State &state) {
            rapidjson::Document dom;
            dom.Parse(doc->text.c_str(), doc->text.size());
            for (auto _ : state) {
                rapidjson::StringBuffer buf;
                rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buf);
                w.SetIndent('\t', 1);
                dom.Accept(w);
                benchmark::DoNotOptimize(buf.GetString());
            }
            setBytes(state, *doc);
        });

        // nlohmann-json.
        benchmark::RegisterBenchmark(("read/nlohmann/" + d.name).c_str(), [doc](benchmark::State &state) {
            for (auto _ : state) {
                auto j = nlohmann::json::parse(doc->text);
                benchmark::DoNotOptimize(j.is_object());
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("visit/nlohmann/" + d.name).c_str(), [doc](benchmark::State &state) {
            for (auto _ : state) {
                auto j = nlohmann::json::parse(doc->text);
                Tally t;
                visit(j, t);
                benchmark::DoNotOptimize(t);
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("lookup20/nlohmann/" + d.name).c_str(), [doc, paths](benchmark::State &state) {
            for (auto _ : state) {
                auto j = nlohmann::json::parse(doc->text);
                double sum = 0;
                for (const Path &p : paths) {
                    sum += lookup(j, p);
                }
                benchmark::DoNotOptimize(sum);
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("compact/nlohmann/" + d.name).c_str(), [doc](benchmark::State &state) {
            auto j = nlohmann::json::parse(doc->text);
            for (auto _ : state) {
                std::string out = j.dump();
                benchmark::DoNotOptimize(out.data());
            }
            setBytes(state, *doc);
        });
        benchmark::RegisterBenchmark(("indented/nlohmann/" + d.name).c_str(), [doc](benchmark::State &state) {
            auto j = nlohmann::json::parse(doc->text);
            for (auto _ : state) {
                std::string out = j.dump(1, '\t');
                benchmark::DoNotOptimize(out.data());
            }
            setBytes(state, *doc);
        });
    }
}

// The three libraries must agree on what they visit, or the figures compare
// different work.
bool crossCheck() {
    bool ok = true;
    for (const Document &d : documents) {
        Tally a;
        Tally b;
        Tally c;
        visit(jsonRead(d.text), a);
        rapidjson::Document dom;
        dom.Parse(d.text.c_str(), d.text.size());
        visit(dom, b);
        visit(nlohmann::json::parse(d.text), c);
        if (a.values != b.values || a.values != c.values || a.chars != b.chars) {
            std::fprintf(stderr, "%s: values %zu/%zu/%zu, characters %zu/%zu/%zu\n", d.name.c_str(), a.values,
                         b.values, c.values, a.chars, b.chars, c.chars);
            ok = false;
        }
        JsonItem root = jsonRead(d.text);
        for (const Path &p : pathsFor(d.name)) {
            // RapidJSON's default number reading may be off by an ulp.
            double x = lookup(root, p);
            double y = lookup(dom, p);
            if (std::fabs(x - y) > 1e-12 * std::fabs(y)) {
                std::fprintf(stderr, "%s: a lookup differs\n", d.name.c_str());
                ok = false;
            }
        }
    }
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    std::string dir;
    const char *env = std::getenv("JSON_BENCH_DATA");
    dir = env != nullptr && *env != '\0' ? env : "/work/shared/bench-data/json";
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--data=", 7) == 0) {
            dir = argv[i] + 7;
        } else {
            args.push_back(argv[i]);
        }
    }
    for (const char *name : {"twitter", "canada", "citm_catalog"}) {
        std::string text = readFile(dir + "/" + name + ".json");
        if (text.empty()) {
            std::fprintf(stderr, "json_bench: cannot read %s/%s.json (set --data=DIR or JSON_BENCH_DATA)\n",
                         dir.c_str(), name);
            return 2;
        }
        documents.push_back({name, std::move(text)});
    }
    documents.push_back({"loads48", makeLoadsAnswer()});
    if (!crossCheck()) {
        return 1;
    }
    registerAll();
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
