"""movra on a Dask cluster: the weak-region diagnoser and the depth-2 estimators for data held as
dask arrays or DataFrames, computed where the partitions live.

Install the extra: ``pip install 'movra[dask]'``. Every class works on the current
``distributed`` client, or on one passed as ``client=``: a ``distributed.LocalCluster`` on one
machine, or a ``distributed.Client`` connected to a cluster's scheduler.
"""

from .sagzone import DaskSagZone
from .xgb2 import DaskXGB2Classifier, DaskXGB2Regressor

__all__ = ["DaskSagZone", "DaskXGB2Regressor", "DaskXGB2Classifier"]
