"""tarvish.gpu"""
