// Equality filters: the predicate a search applies to one stored value.
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "filter/filter.hpp"

using tessra::Filter;
using tessra::Metadata;

TEST(filter_equals_keeps_attribute_and_matches_equal_values) {
    const Filter filter = Filter::equals("color", Metadata::text("blue"));
    CHECK_EQ(filter.attribute, std::string("color"));
    CHECK(filter.passes(Metadata::text("blue")));
    CHECK(!filter.passes(Metadata::text("Blue")));
    CHECK(!filter.passes(Metadata::text("blu")));
}

TEST(filter_kind_mismatch_never_matches) {
    const Filter on_int = Filter::equals("size", Metadata::integer(42));
    const Filter on_float = Filter::equals("size", Metadata::real(42.0));
    CHECK(on_int.passes(Metadata::integer(42)));
    CHECK(!on_int.passes(Metadata::real(42.0)));
    CHECK(!on_int.passes(Metadata::text("42")));
    CHECK(on_float.passes(Metadata::real(42.0)));
    CHECK(!on_float.passes(Metadata::integer(42)));
    // A boolean arrives as Int 1 and matches Int 1 only.
    const Filter flag = Filter::equals("flag", Metadata::integer(1));
    CHECK(flag.passes(Metadata::integer(1)));
    CHECK(!flag.passes(Metadata::real(1.0)));
}

TEST(filter_nan_matches_nothing_and_signed_zeros_match) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Filter on_nan = Filter::equals("x", Metadata::real(nan));
    CHECK(!on_nan.passes(Metadata::real(nan)));
    CHECK(!on_nan.passes(Metadata::real(0.0)));
    CHECK(!Filter::equals("x", Metadata::real(1.0)).passes(Metadata::real(nan)));
    CHECK(Filter::equals("x", Metadata::real(-0.0)).passes(Metadata::real(0.0)));
}

TEST(filter_predicate_owns_its_value) {
    std::string wanted = "blue";
    Filter filter = Filter::equals("color", Metadata::text(wanted));
    wanted = "red";
    CHECK(filter.passes(Metadata::text("blue")));
    // The predicate outlives the filter that made it.
    const auto predicate = filter.predicate;
    filter = Filter::equals("color", Metadata::text("green"));
    CHECK((*predicate)(Metadata::text("blue")));
    CHECK(!(*predicate)(Metadata::text("green")));
}

TEST(filter_predicate_is_callable_from_several_threads) {
    const Filter filter = Filter::equals("n", Metadata::integer(7));
    std::vector<int> matches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const Filter copy = filter;  // shares the predicate
            for (int i = 0; i < 10000; ++i) matches[t] += copy.passes(Metadata::integer(i % 10)) ? 1 : 0;
        });
    }
    for (auto& thread : threads) thread.join();
    for (int count : matches) CHECK_EQ(count, 1000);
    CHECK_EQ(filter.predicate.use_count(), 1L);
}
