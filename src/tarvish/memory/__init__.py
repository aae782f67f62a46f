"""tarvish.memory"""
