// The console: its page and files, and the login form that gives a browser
// the token ("/login", "/login.css", "/logout").
#pragma once

#include <optional>

#include "exporter/http_transport.h"

// The login form and its style, served without the token.
std::optional<http_reply> routes_console_open(instance_t* instance, const http_request& request);

// "/logout" and the console's files, behind the token.
std::optional<http_reply> routes_console(instance_t* instance, const http_request& request);

// Says who was refused and why, once, and answers 401 with the login form.
http_reply routes_console_refusal(const http_request& request, access_verdict verdict);
