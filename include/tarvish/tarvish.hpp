// The conventions layer shared by every extension module of the package.
#pragma once

#include "gil.hpp"
#include "lock.hpp"
#include "module.hpp"
