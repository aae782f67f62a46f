// The conventions layer shared by every extension module of the package.
#pragma once

#include "module.hpp"
#include "lock.hpp"
