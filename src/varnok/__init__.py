"""Identifiers of the host machine; the module is ``varnok.ostrel``."""
