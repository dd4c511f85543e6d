"""pelorin: the e-commerce operations toolkit.

This distribution carries the package's native extension modules and small
stand-ins for the host modules they call.
"""
