"""tarvish.plugins"""
