// An owned json-c object, put when the owner goes.
#pragma once

#include <json-c/json.h>

#include <memory>

struct json_put {
    void operator()(json_object* o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_put>;
