"""tarvish.native"""
