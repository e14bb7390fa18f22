"""Resources: where the jyx bench server for one controller listens."""

import attr
from labgrid.factory import target_factory
from labgrid.resource import Resource


@target_factory.reg_resource
@attr.s(eq=False)
class JyxController(Resource):
    """A JYX controller served by `jyx --serve -a ADDRESS` on this host.

    Args:
        address (str): the controller's address, as given to `jyx -a`
        runtime_dir (str): the XDG_RUNTIME_DIR the server runs with; the
            socket is RUNTIME_DIR/jyx/ADDRESS.sock (default: our own
            XDG_RUNTIME_DIR, or /tmp/jyx-<uid>/ADDRESS.sock without one)
    """
    address = attr.ib(validator=attr.validators.instance_of(str))
    runtime_dir = attr.ib(default=None,
                          validator=attr.validators.optional(attr.validators.instance_of(str)))


@target_factory.reg_resource
@attr.s(eq=False)
class NetworkJyxController(Resource):
    """A JYX controller whose server runs on another host, reached over SSH.

    Args:
        host (str): the host that runs `jyx --serve` (the exporter's host)
        address (str): the controller's address, as given to `jyx -a` there
        runtime_dir (str): the server's XDG_RUNTIME_DIR on that host
    """
    host = attr.ib(validator=attr.validators.instance_of(str))
    address = attr.ib(validator=attr.validators.instance_of(str))
    runtime_dir = attr.ib(validator=attr.validators.instance_of(str))
