"""Step-status state of a resumable pipeline run, kept in a JSON file."""

from typing import Optional, Sequence, final

__all__ = ["PipelineState"]

@final
class PipelineState:
    """Tracks step completion status for resumable ETL runs."""

    def __new__(cls, db_url: str, csv_dir: str, steps: Sequence[str]) -> PipelineState: ...
    def is_completed(self, step: str) -> bool:
        """Return true if the step has been completed."""
    def mark_completed(self, step: str) -> None:
        """Mark a step as completed."""
    def mark_failed(self, step: str, error: str) -> None:
        """Mark a step as failed with an error message."""
    def step_status(self, step: str) -> str:
        """Return the status string of a step ("pending", "completed", "failed", "unknown")."""
    def step_error(self, step: str) -> Optional[str]:
        """Return the error message for a failed step, or None."""
    def validate_resume(self, db_url: str, csv_dir: str) -> None:
        """Raise an error if db_url or csv_dir don't match this state."""
    def save(self, path: str) -> None:
        """Write state to a JSON file."""
    @staticmethod
    def load(path: str) -> PipelineState:
        """Load state from a JSON file with version migration support."""
