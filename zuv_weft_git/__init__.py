"""Three-way git merge driver and diff API for pipeline-canvas Jupyter notebooks."""
