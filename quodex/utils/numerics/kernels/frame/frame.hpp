// Everything a module's binding needs from the frame.
#pragma once

#include "args.hpp"
#include "buffer.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "gil.hpp"
#include "module.hpp"
#include "python.hpp"
#include "results.hpp"
#include "core/views.hpp"
