"""tarvish: the native core of a Python performance runtime."""
