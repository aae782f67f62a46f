"""tarvish.jit"""
