"""tarvish.plugins.analyzer"""
