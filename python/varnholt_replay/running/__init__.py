"""Running many jobs: on threads of one machine (:mod:`.local`) or on a Dask cluster (:mod:`.cluster`)."""
