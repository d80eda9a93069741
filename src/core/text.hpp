// Building request texts: the plain text form and the JSON form of spliced
// values, and a builder that joins the pieces.
#pragma once

#include <vector>

#include "base/ref.hpp"

namespace cnc {

// str(value)
Ref text_form(PyObject* value);
// json.dumps(value), with the module's `json` as it is bound at call time.
Ref json_form(PyObject* value);

class TextBuilder {
public:
    TextBuilder& add(const char* ascii);
    TextBuilder& add(PyObject* text);  // a str
    TextBuilder& add(const Ref& text) { return add(text.get()); }
    Ref build() const;

private:
    std::vector<Ref> parts_;
};

}  // namespace cnc
