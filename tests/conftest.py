import sys

import pytest
