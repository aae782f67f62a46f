"""tarvish.monitoring"""
