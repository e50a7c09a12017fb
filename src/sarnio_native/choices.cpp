#include "sarnio_native/choices.hpp"

#include <nanobind/stl/string.h>

#include "sarnio_native/errors.hpp"

namespace nb = nanobind;

namespace sarn::sarnio {

pipeline::WriteChoices write_choices(const ChoicesDict& given) {
    pipeline::WriteChoices choices;
    for (auto [key, value] : given) {
        const std::string name = nb::cast<std::string>(key);
        if (name == "level") {
            choices.level = nb::cast<int>(value);
        } else {
            raise(common::Error::value("unknown write choice '" + name + "'"));
        }
    }
    if (auto bad = pipeline::choices_problem(choices)) raise(common::Error::value(*bad));
    return choices;
}

}  // namespace sarn::sarnio
