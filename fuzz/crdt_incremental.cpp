// CRDT documents: mutate and apply against their whole-value reference path
// (CrdtDocument::mutate_whole / apply_whole), which materialises the whole value
// after every operation. The input is a program: its first byte picks a
// document shape (nested shapes users build and root sequences) and the number of
// replicas; every following instruction makes a batch of mutations on one
// replica, delivers recorded operations to one (any subset, any order, repeats),
// saves and restores one, or compacts at a frontier that every replica has seen.
// Each replica is a twin pair restored from one state; both twins must return
// the same text or the same error, and keep the same state and value; after every
// call the caches each twin keeps beside its node tree are what the tree gives.
#include <algorithm>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "crdt_check.hpp"
#include "crdt/reducer/document.hpp"

using norvane::crdt::CrdtDocument;

namespace {

// ---- the shapes under test: a policy tree of our own, to build paths and values --------

struct Pol {
    enum Kind { Register, Map, Set, Sequence } kind = Register;
    bool text = false;   // a sequence materialised as a string
    bool keyed = false;  // a set whose members are identified by their "id" field
    std::vector<std::pair<std::string, const Pol*>> fields;
    const Pol* values = nullptr;   // map: the policy of other keys (a register when null)
    const Pol* element = nullptr;  // set, sequence: the element policy (a register when null)
};

const Pol kReg{};
const Pol kChar{};  // an element of a text: one character
const Pol kText{Pol::Sequence, true, false, {}, nullptr, &kChar};
const Pol kList{Pol::Sequence, false, false, {}, nullptr, nullptr};
const Pol kItem{Pol::Map, false, false, {{"n", &kReg}, {"t", &kText}, {"tags", &kList}}};
const Pol kItems{Pol::Sequence, false, false, {}, nullptr, &kItem};
const Pol kMember{Pol::Map, false, false, {{"id", &kReg}, {"l", &kList}, {"t", &kText}}};
const Pol kKeyed{Pol::Set, false, true, {}, nullptr, &kMember};
const Pol kSet{Pol::Set, false, false, {}, nullptr, nullptr};
const Pol kMap{Pol::Map, false, false, {}, nullptr, nullptr};
const Pol kMapOfMaps{Pol::Map, false, false, {}, &kMap};
const Pol kMapOfTexts{Pol::Map, false, false, {}, &kText};
const Pol kUser{Pol::Map, false, false,
                {{"k", &kKeyed}, {"l", &kList}, {"m", &kMapOfMaps}, {"q", &kItems},
                 {"r", &kReg}, {"s", &kSet}, {"t", &kText}}};

#define REG R"({"kind":"register"})"
#define TEXT R"({"kind":"sequence","materialization":"string"})"
#define LIST R"({"kind":"sequence"})"
#define ITEMS R"({"kind":"sequence","element":{"kind":"map","fields":{"n":)" REG R"(,"t":)" TEXT R"(,"tags":)" LIST "}}}"
#define KEYED \
    R"({"kind":"set","keys":[["id"]],"element":{"kind":"map","fields":{"id":)" REG R"(,"l":)" LIST R"(,"t":)" TEXT "}}}"

struct Shape {
    const char* spec;
    const char* value;
    const Pol* root;
};

const Shape kShapes[] = {
    {R"({"root":{"kind":"map","fields":{"k":)" KEYED R"(,"l":)" LIST
     R"(,"m":{"kind":"map","values":{"kind":"map"}},"q":)" ITEMS R"(,"r":)" REG R"(,"s":{"kind":"set"},"t":)" TEXT "}}}",
     R"({"Map":{"k":{"List":[{"Map":{"id":{"Int":1},"t":{"Str":"z"}}}]},"l":{"List":[{"Int":1}]},)"
     R"("m":{"Map":{"x":{"Map":{"y":"Null"}}}},"q":{"List":[{"Map":{"n":{"Int":0}}}]},"r":{"Int":0},)"
     R"("s":{"List":[{"Int":3}]},"t":{"Str":"ab"}}})",
     &kUser},
    {R"({"root":)" TEXT "}", R"({"Str":"hé"})", &kText},
    {R"({"root":)" ITEMS "}", R"({"List":[{"Map":{"t":{"Str":"a"}}}]})", &kItems},
    {R"({"root":)" KEYED "}", R"({"List":[{"Map":{"id":{"Int":0},"l":{"List":["Null"]}}}]})", &kKeyed},
    {R"({"root":{"kind":"map","values":)" TEXT "}}", R"({"Map":{"a":{"Str":"x"}}})", &kMapOfTexts},
    {R"({"root":)" LIST "}", R"({"List":[]})", &kList},
};

const Pol& child(const Pol& p, std::string_view key) {
    for (const auto& [name, pol] : p.fields)
        if (name == key) return *pol;
    return p.values ? *p.values : kReg;
}
const Pol& element(const Pol& p) { return p.element ? *p.element : kReg; }

constexpr const char* kKeys[] = {"t", "l", "q", "m", "s", "k", "r", "n", "tags", "id", "x", "y", "a"};
constexpr const char* kChars[] = {"a", "b", "é", "\xf0\x9f\x98\x80"};
constexpr const char* kReplicas[] = {"r0", "r1", "r2", "r3"};

// ---- the input as a stream of choices; a splitmix generator for bulk batches -----------

struct Input {
    const uint8_t* p;
    size_t n, i = 0;
    bool done() const { return i >= n; }
    uint8_t byte() { return i < n ? p[i++] : 0; }
    size_t below(size_t k) { return k ? byte() % k : 0; }
};

struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    size_t below(size_t k) { return k ? next() % k : 0; }
};

// A source of choices: the input itself, or a generator seeded from it.
template <class Src>
struct Gen {
    Src& src;
    std::string out;

    void str(std::string_view s) {
        out += '"';
        for (char c : s) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    void num(uint64_t v) { out += std::to_string(v); }

    void scalar() {
        switch (src.below(6)) {
            case 0: out += "\"Null\""; break;
            case 1: out += "{\"Str\":"; str(kChars[src.below(4)]); out += '}'; break;
            case 2: out += R"({"List":[{"Int":1}]})"; break;
            case 3: out += R"({"Map":{"a":{"Bool":true}}})"; break;
            default: out += "{\"Int\":"; num(src.below(4)); out += '}';
        }
    }
    // A character of a text; now and then one that a text refuses.
    void character(bool bad_ok) {
        size_t k = src.below(bad_ok ? 64 : 4);
        out += "{\"Str\":";
        str(k < 4 ? kChars[k] : k == 63 ? "ab" : k == 62 ? "" : kChars[k % 4]);
        out += '}';
    }
    void value(const Pol& p, int depth) {
        switch (p.kind) {
            case Pol::Register: scalar(); return;
            case Pol::Sequence: {
                out += p.text ? "{\"Str\":\"" : "{\"List\":[";
                for (size_t i = 0, n = src.below(3); i < n; ++i) {
                    if (p.text) {
                        out += kChars[src.below(4)];
                    } else {
                        if (i) out += ',';
                        value(element(p), depth + 1);
                    }
                }
                out += p.text ? "\"}" : "]}";
                return;
            }
            case Pol::Set: {
                out += "{\"List\":[";
                for (size_t i = 0, n = src.below(3); i < n; ++i) {
                    if (i) out += ',';
                    member(p, depth + 1);
                }
                out += "]}";
                return;
            }
            case Pol::Map: {
                out += "{\"Map\":{";
                bool first = true;
                for (const char* k : kKeys) {
                    if (src.below(depth < 2 ? 4 : 16) != 0) continue;
                    if (!first) out += ',';
                    first = false;
                    str(k);
                    out += ':';
                    value(child(p, k), depth + 1);
                }
                out += "}}";
                return;
            }
        }
    }
    // A set member: the identity of a keyed member is one of four ids.
    void member(const Pol& p, int depth) {
        if (!p.keyed) {
            if (src.below(4)) {
                out += "{\"Int\":";
                num(src.below(4));
                out += '}';
            } else {
                value(element(p), depth);
            }
            return;
        }
        out += "{\"Map\":{\"id\":{\"Int\":";
        num(src.below(4));
        out += "}";
        for (const char* k : {"l", "t", "x"}) {
            if (src.below(3)) continue;
            out += ',';
            str(k);
            out += ':';
            value(child(element(p), k), depth + 1);
        }
        out += "}}";
    }
    // A key of a map: mostly one of its fields.
    std::string_view key(const Pol& p) {
        if (!p.fields.empty() && src.below(4)) return p.fields[src.below(p.fields.size())].first;
        return kKeys[src.below(std::size(kKeys))];
    }
    std::string member_key(const Pol& p) {
        size_t n = src.below(5);
        if (n == 4) return "{}";
        std::string id = "{\"Int\":" + std::to_string(n) + "}";
        return p.keyed ? "[[[\"id\"]," + id + "]]" : id;
    }
    // An element id among those the replicas make: counters grow by one per
    // operation, so small counters name existing elements most of the time.
    void element_id() {
        size_t r = src.below(5);
        out += "{\"dot\":{\"counter\":";
        num(r == 4 ? 0 : 1 + src.below(48));
        out += ",\"replica\":";
        str(r == 4 ? "$init" : kReplicas[r]);
        out += "},\"index\":";
        num(src.below(3));
        out += '}';
    }
    // A path from `root`, and the policy it reaches.
    const Pol& path(const Pol& root) {
        const Pol* p = &root;
        out += '[';
        bool first = true;
        for (int depth = 0; depth < 4 && p->kind != Pol::Register && src.below(depth + 2) != 0; ++depth) {
            if (!first) out += ',';
            first = false;
            if (p->kind == Pol::Map) {
                std::string_view k = key(*p);
                out += "{\"kind\":\"key\",\"key\":";
                str(k);
                out += '}';
                p = &child(*p, k);
            } else if (p->kind == Pol::Set) {
                out += "{\"kind\":\"member\",\"key\":";
                str(member_key(*p));
                out += '}';
                p = &element(*p);
            } else {
                out += "{\"kind\":\"element\",\"id\":";
                element_id();
                out += '}';
                p = &element(*p);
            }
        }
        out += ']';
        return *p;
    }
    void values(const Pol& seq, size_t n) {
        out += '[';
        for (size_t i = 0; i < n; ++i) {
            if (i) out += ',';
            if (seq.text)
                character(true);
            else
                value(element(seq), 1);
        }
        out += ']';
    }

    // One mutation somewhere below `root`.
    void mutation(const Pol& root) {
        size_t start = out.size();
        const Pol& p = path(root);
        std::string path_text = out.substr(start);
        out.resize(start);
        out += "{\"kind\":\"";
        bool misplaced = src.below(64) == 0;
        size_t pick = src.below(16);
        auto head = [&](const char* kind) {
            out += kind;
            out += "\",\"path\":";
            out += path_text;
        };
        if (p.kind == Pol::Register || misplaced) {
            head("register_set");
            out += ",\"value\":";
            if (&p == &kChar && src.below(8))
                character(false);
            else
                value(p, 1);
        } else if (p.kind == Pol::Map) {
            std::string_view k = key(p);
            head(pick < 10 ? "map_set" : "map_remove");
            out += ",\"key\":";
            str(k);
            if (pick < 10) {
                out += ",\"value\":";
                value(child(p, k), 1);
            }
        } else if (p.kind == Pol::Set) {
            if (pick < 8) {
                head("set_add");
                out += ",\"value\":";
                member(p, 1);
            } else {
                head("set_remove");
                out += ",\"key\":";
                str(member_key(p));
            }
        } else if (pick < 3) {
            head("sequence_delete");
            out += ",\"ids\":[";
            for (size_t i = 0, n = 1 + src.below(2); i < n; ++i) {
                if (i) out += ',';
                element_id();
            }
            out += ']';
        } else if (pick < 6) {
            head("sequence_insert");
            out += ",\"after\":";
            if (src.below(4) == 0)
                out += "null";
            else
                element_id();
            out += ",\"values\":";
            values(p, 1 + src.below(2));
        } else {
            head("sequence_splice");
            out += ",\"index\":";
            num(src.below(6));
            out += ",\"delete_count\":";
            num(src.below(4) == 0 ? src.below(3) : 0);
            out += ",\"values\":";
            values(p, src.below(3));
        }
        out += '}';
    }

    // `n` mutations into one container, as a user's batch: typing into a text
    // or a list at a moving cursor, map sets of new keys, or set adds.
    void bulk(const Pol& root, size_t n) {
        std::string path_text;
        const Pol* p = &root;
        for (int tries = 0; tries < 8; ++tries) {
            size_t start = out.size();
            p = &path(root);
            path_text = out.substr(start);
            out.resize(start);
            if (p->kind != Pol::Register) break;
        }
        if (p->kind == Pol::Register) {
            p = &root;
            path_text = "[]";
        }
        auto head = [&](const char* kind) {
            out += "{\"kind\":\"";
            out += kind;
            out += "\",\"path\":";
            out += path_text;
        };
        size_t length = 0, cursor = 0;  // of the elements this batch inserted, at its head
        for (size_t i = 0; i < n; ++i) {
            if (i) out += ',';
            if (p->kind == Pol::Map) {
                std::string k = "k" + std::to_string(src.below(n + 1));
                head("map_set");
                out += ",\"key\":";
                str(k);
                out += ",\"value\":";
                value(child(*p, k), 2);
            } else if (p->kind == Pol::Set) {
                head("set_add");
                out += ",\"value\":";
                member(*p, 2);
            } else if (i == 0) {  // makes the sequence when it does not exist yet
                head("sequence_insert");
                out += ",\"after\":null,\"values\":[";
                p->text ? character(false) : value(element(*p), 2);
                out += ']';
                length = cursor = 1;
            } else if (length && src.below(7) == 0) {
                cursor = cursor ? cursor - 1 : 0;
                head("sequence_splice");
                out += ",\"index\":";
                num(std::min(cursor, length - 1));
                out += ",\"delete_count\":1,\"values\":[]";
                cursor = std::min(cursor, --length);
            } else {
                if (src.below(20) == 0) cursor = src.below(length + 1);
                head("sequence_splice");
                out += ",\"index\":";
                num(cursor);
                out += ",\"delete_count\":0,\"values\":[";
                p->text ? character(false) : value(element(*p), 2);
                out += ']';
                ++length;
                ++cursor;
            }
            out += '}';
        }
    }
};

// ---- replicas ----------------------------------------------------------------------------

struct Twin {
    CrdtDocument fast, whole;
    std::set<std::pair<std::string, uint64_t>> seen;  // the dots both have observed
};

Twin make_twin(std::string_view spec, std::string_view state, const char* replica) {
    auto a = CrdtDocument::from_state(spec, state, replica);
    auto b = CrdtDocument::from_state(spec, state, replica);
    if (!a || !b) fuzz::fail("a saved state does not read back", state, a ? b.error() : a.error());
    fuzz::check_caches(*a, state);
    fuzz::check_caches(*b, state);
    return Twin{std::move(*a), std::move(*b), {}};
}

template <class T>
void same_result(const norvane::Result<T>& a, const norvane::Result<T>& b, const char* what, std::string_view input) {
    if (a.has_value() != b.has_value())
        fuzz::fail(what, input, a ? "the fast path succeeded, the reference failed" : a.error());
    if (!a) {
        fuzz::same(a.error(), b.error(), what);
        return;
    }
    if constexpr (std::is_same_v<T, std::string>) {
        if (*a != *b) fuzz::fail(what, *a, *b);
    } else {
        fuzz::check(*a == *b, what, input);
    }
}

// Both twins' caches, after a call with this input.
void check_caches(const Twin& t, std::string_view input) {
    fuzz::check_caches(t.fast, input);
    fuzz::check_caches(t.whole, input);
}

void check_twin(Twin& t, bool value) {
    same_result(t.fast.state(), t.whole.state(), "the states differ", {});
    if (value) same_result(t.fast.value(), t.whole.value(), "the values differ", {});
}

// The elements of the JSON array that starts at `text[at]` ('['), as texts.
std::vector<std::string> array_items(std::string_view text, size_t at) {
    std::vector<std::string> out;
    int depth = 0;
    bool in_string = false;
    size_t start = at + 1;
    for (size_t i = at; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        else if (c == '[' || c == '{') ++depth;
        else if ((c == ']' || c == '}') && --depth == 0) {
            if (i > start) out.emplace_back(text.substr(start, i - start));
            return out;
        } else if (c == ',' && depth == 1) {
            out.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

// The dot of an operation written by the document (its "dot" comes right after "kind").
std::pair<std::string, uint64_t> dot_of(std::string_view op) {
    size_t c = op.find("\"counter\":") + 10;
    uint64_t counter = 0;
    while (c < op.size() && op[c] >= '0' && op[c] <= '9') counter = counter * 10 + uint64_t(op[c++] - '0');
    size_t r = op.find("\"replica\":\"", c) + 11;
    return {std::string(op.substr(r, op.find('"', r) - r)), counter};
}

void record(Twin& t, const std::vector<std::string>& ops) {
    for (const auto& op : ops) t.seen.insert(dot_of(op));
}

std::string join(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        out += items[i];
    }
    return out + ']';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Input in{data, size};
    uint8_t head = in.byte();
    const Shape& shape = kShapes[head % std::size(kShapes)];
    size_t n = 2 + (head / std::size(kShapes)) % 3;
    auto first = CrdtDocument::create(shape.spec, shape.value, "r0");
    if (!first) fuzz::fail("a built-in shape is refused", shape.spec, first.error());
    std::string initial = *first->state();
    std::vector<Twin> twins;
    for (size_t i = 0; i < n; ++i) twins.push_back(make_twin(shape.spec, initial, kReplicas[i]));
    std::vector<std::string> log;  // every operation made, in order
    bool had_big = false;
    // Both twins run the mutations; the operations made are recorded for delivery.
    auto mutate = [&](Twin& t, const std::string& text) {
        auto a = t.fast.mutate(text);
        same_result(a, t.whole.mutate_whole(text), "mutate differs from the reference", text);
        check_caches(t, text);
        if (!a) return;
        auto ops = array_items(*a, std::string_view("{\"ops\":").size());
        record(t, ops);
        log.insert(log.end(), ops.begin(), ops.end());
    };

    // Bounded so that one input runs in well under a second with sanitizers.
    for (int steps = 0; !in.done() && steps < 40 && log.size() < 600; ++steps) {
        uint8_t op = in.byte();
        size_t who = (op >> 4) % n;
        Twin& t = twins[who];
        switch (op & 7) {
            case 0: case 1: case 2: {  // a few mutations, chosen by the input
                Gen<Input> g{in, "["};
                for (size_t i = 0, k = 1 + (in.below(4) == 0 ? in.below(6) : 0); i < k; ++i) {
                    if (i) g.out += ',';
                    g.mutation(*shape.root);
                }
                g.out += ']';
                mutate(t, g.out);
                break;
            }
            case 3: {  // a bulk batch of up to 128 mutations, drawn from a seed
                Rng rng{uint64_t(in.byte()) << 8 | in.byte()};
                // One big batch per input at most: the reference path costs the
                // document's size per operation, and sanitizers multiply it.
                bool big = !had_big && in.below(8) == 0;
                had_big = had_big || big;
                size_t k = big ? 1 + rng.below(128) : 1 + rng.below(24);
                Gen<Rng> g{rng, "["};
                g.bulk(*shape.root, k);
                g.out += ']';
                mutate(t, g.out);
                break;
            }
            case 4: case 5: {  // deliver recorded operations: any of them, any order, repeats
                if (log.empty()) break;
                std::vector<std::string> batch;
                size_t mode = in.below(4);
                if (mode == 0 && log.size() <= 200) {
                    batch = log;
                } else {
                    for (size_t i = 0, k = 1 + in.below(mode == 1 ? 2 : 12); i < k; ++i)
                        batch.push_back(log[log.size() - 1 - in.below(std::min<size_t>(log.size(), 64))]);
                }
                std::string text = join(batch);
                auto a = t.fast.apply(text);
                same_result(a, t.whole.apply_whole(text), "apply differs from the reference", text);
                check_caches(t, text);
                if (a) record(t, batch);
                break;
            }
            case 6: {  // save and restore
                auto s = t.fast.state();
                auto seen = std::move(t.seen);
                t = make_twin(shape.spec, *s, kReplicas[who]);
                t.seen = std::move(seen);
                break;
            }
            case 7: {  // compact at the frontier every replica has seen (or below it)
                std::string frontier = "{";
                for (size_t r = 0; r < n; ++r) {
                    uint64_t low = UINT64_MAX;
                    for (const Twin& x : twins) {
                        uint64_t c = 0;
                        while (x.seen.contains({kReplicas[r], c + 1})) ++c;
                        low = std::min(low, c);
                    }
                    if (in.below(4) == 0) low = low ? low - 1 : 0;
                    if (r) frontier += ',';
                    frontier += "\"" + std::string(kReplicas[r]) + "\":" + std::to_string(low);
                }
                frontier += '}';
                for (Twin& x : twins) {
                    auto a = x.fast.compact(frontier);
                    same_result(a, x.whole.compact(frontier), "compact differs", frontier);
                    check_caches(x, frontier);
                    if (!a) fuzz::fail("a frontier every replica has seen is refused", frontier, a.error());
                }
                break;
            }
        }
        if (in.below(4) == 0) check_twin(t, in.below(2));
    }
    if (log.size() > 200) log.erase(log.begin(), log.end() - 64);
    for (Twin& t : twins) {
        std::string text = join(log);
        same_result(t.fast.apply(text), t.whole.apply_whole(text), "apply differs from the reference", text);
        check_caches(t, text);
        check_twin(t, true);
    }
    return 0;
}
