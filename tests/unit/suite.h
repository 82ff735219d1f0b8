// The suite's shape, in the order of its listing (tests/unit/test_zeto_data.py):
// each test class with the line of its class statement, and each of its test
// methods with the line of its def statement, its local variables (`self`
// first, as the code object names them) and its compiled body. The module body
// makes the classes from these tables, and every size that depends on the
// suite is computed from them.
#pragma once

#include "method.h"

namespace meta_source_tests {
void test_init_with_node_sets_fields(Run& t);
void test_init_without_node_leaves_none(Run& t);
void test_to_dict_returns_dict_with_id(Run& t);
void test_update_sets_new_values(Run& t);
void test_update_ignores_none_values(Run& t);

inline constexpr const char* kSrcLocals[] = {"self", "src", nullptr};
inline constexpr const char* kSrcDictLocals[] = {"self", "src", "d", nullptr};
inline constexpr const char* kSrcOriginalLocals[] = {"self", "src", "original_id", nullptr};

inline constexpr MethodDef kMethods[] = {
    {"test_init_with_node_sets_fields", 11, kSrcLocals, test_init_with_node_sets_fields},
    {"test_init_without_node_leaves_none", 19, kSrcLocals, test_init_without_node_leaves_none},
    {"test_to_dict_returns_dict_with_id", 24, kSrcDictLocals, test_to_dict_returns_dict_with_id},
    {"test_update_sets_new_values", 31, kSrcLocals, test_update_sets_new_values},
    {"test_update_ignores_none_values", 36, kSrcOriginalLocals, test_update_ignores_none_values},
};
}  // namespace meta_source_tests

namespace meta_module_tests {
void test_init_with_node(Run& t);
void test_init_without_node(Run& t);
void test_to_dict(Run& t);

inline constexpr const char* kModLocals[] = {"self", "mod", nullptr};
inline constexpr const char* kModDictLocals[] = {"self", "mod", "d", nullptr};

inline constexpr MethodDef kMethods[] = {
    {"test_init_with_node", 44, kModLocals, test_init_with_node},
    {"test_init_without_node", 50, kModLocals, test_init_without_node},
    {"test_to_dict", 54, kModDictLocals, test_to_dict},
};
}  // namespace meta_module_tests

namespace meta_tests {
void test_to_dict_uses_stored_ts_not_fresh_time(Run& t);
void test_to_dict_has_required_keys(Run& t);
void test_ts_is_set_at_construction_time(Run& t);

inline constexpr const char* kStoredLocals[] = {"self", "meta", "stored_ts", "d", nullptr};
inline constexpr const char* kKeysLocals[] = {"self", "meta", "d", "key", nullptr};
inline constexpr const char* kClockLocals[] = {"self", "t_before", "meta", "t_after", nullptr};

inline constexpr MethodDef kMethods[] = {
    {"test_to_dict_uses_stored_ts_not_fresh_time", 61, kStoredLocals, test_to_dict_uses_stored_ts_not_fresh_time},
    {"test_to_dict_has_required_keys", 68, kKeysLocals, test_to_dict_has_required_keys},
    {"test_ts_is_set_at_construction_time", 74, kClockLocals, test_ts_is_set_at_construction_time},
};
}  // namespace meta_tests

namespace zeto_data_tests {
void test_create_without_frame_returns_none_frame(Run& t);
void test_create_empty_result_defaults_to_list(Run& t);
void test_parse_bytes_payload(Run& t);

inline constexpr const char* kCreateLocals[] = {"self", "vd", "payload", nullptr};
inline constexpr const char* kParseLocals[] = {"self", "json", "vd", "raw", "result", nullptr};

inline constexpr MethodDef kMethods[] = {
    {"test_create_without_frame_returns_none_frame", 82, kCreateLocals, test_create_without_frame_returns_none_frame},
    {"test_create_empty_result_defaults_to_list", 89, kCreateLocals, test_create_empty_result_defaults_to_list},
    {"test_parse_bytes_payload", 94, kParseLocals, test_parse_bytes_payload},
};
}  // namespace zeto_data_tests

// The classes, in the order of the module body.
inline constexpr ClassDef kClasses[] = {
    {c.TestMetaSource, 10, meta_source_tests::kMethods},
    {c.TestMetaModule, 43, meta_module_tests::kMethods},
    {c.TestMeta, 60, meta_tests::kMethods},
    {c.TestZetoData, 81, zeto_data_tests::kMethods},
};

// The tables follow the listing: each class's line comes before its methods'
// lines, and every line after the one before it.
constexpr bool in_listing_order() {
    int last = 0;
    for (const ClassDef& cls : kClasses) {
        if (cls.line <= last) return false;
        last = cls.line;
        for (size_t i = 0; i < cls.count; ++i) {
            if (cls.methods[i].first_line <= last) return false;
            last = cls.methods[i].first_line;
        }
    }
    return true;
}
static_assert(in_listing_order(), "the lines in these tables must follow the listing: classes and methods in order");
